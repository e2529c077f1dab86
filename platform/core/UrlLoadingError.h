#pragma once

#include <stdexcept>
#include <string>

namespace nimbuscrate {

// The common base of every failure of the HTTP transport itself (no HTTP
// reply: connection, TLS, time-out, cancelled transfer, refused redirect).
// The extension's error mapping recognises transport failures by this type.
class UrlLoadingError : public std::runtime_error {
public:
    UrlLoadingError(int code, const std::string& description) : std::runtime_error(description), code_(code) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};

}  // namespace nimbuscrate
