#pragma once

#include <functional>
#include <mutex>

namespace nimbuscrate {

// Held by one running upload. finish() takes the upload off the count once;
// later calls do nothing, and dropping an unfinished token finishes it.
class UploadActivityToken {
public:
    explicit UploadActivityToken(std::function<void()> finishHandler);
    ~UploadActivityToken();
    UploadActivityToken(const UploadActivityToken&) = delete;
    UploadActivityToken& operator=(const UploadActivityToken&) = delete;

    void finish();

private:
    std::mutex lock_;
    std::function<void()> finishHandler_;
};

}  // namespace nimbuscrate
