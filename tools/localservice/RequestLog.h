#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nimbuscrate::localservice {

// Header fields in the order they arrived; names compare case-insensitively.
class HeaderFields {
public:
    void add(std::string name, std::string value);
    // First value of the field, if present.
    std::optional<std::string> find(std::string_view name) const;
    // First value of the field, or "" when absent.
    std::string value(std::string_view name) const;
    bool has(std::string_view name) const;
    std::size_t count(std::string_view name) const;
    const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }

private:
    std::vector<std::pair<std::string, std::string>> fields_;
};

// One request as it reached the service.
struct RecordedRequest {
    std::string method;
    std::string host;    // Host header without the port, lower-cased
    std::string path;    // percent-decoded path (no query)
    std::string target;  // the request target exactly as sent
    std::vector<std::pair<std::string, std::string>> query;  // decoded, in order
    HeaderFields headers;
    std::uint64_t bodyLength = 0;
    std::string body;  // the first kBodyKept bytes of the body
    bool bodyTruncated = false;
    std::string bodySha256;  // SHA-256 of the whole body, lower-case hex
    // Which accepted connection carried it: 1 for the service's first, 2 for
    // the next, ... (requests on one kept-alive connection share the number).
    std::uint64_t connection = 0;

    static constexpr std::size_t kBodyKept = 1024 * 1024;

    std::optional<std::string> queryValue(std::string_view name) const;
    std::string header(std::string_view name) const { return headers.value(name); }
};

// Thread-safe list of every request the service received, in arrival order.
class RequestLog {
public:
    void add(RecordedRequest request);
    void clear();
    std::vector<RecordedRequest> all() const;
    std::size_t size() const;
    // Requests whose method equals `method` (case-insensitive; "" = any) and
    // whose path begins with `pathPrefix`.
    std::vector<RecordedRequest> matching(std::string_view method, std::string_view pathPrefix) const;
    // Waits until at least `count` requests are logged (since the last clear).
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<RecordedRequest> requests_;
};

}  // namespace nimbuscrate::localservice
