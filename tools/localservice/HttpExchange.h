#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/localservice/RequestLog.h"

namespace nimbuscrate::localservice {

// A file descriptor closed on destruction.
class OpenFile {
public:
    explicit OpenFile(int fd) : fd_(fd) {}
    ~OpenFile();
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

// Where a request body goes when a route knows from the request's head
// alone where its bytes belong (a part of an upload goes straight to its
// place in the blob instead of a spool file that would be copied there).
// Called on the connection's thread as the body arrives, in order.
class BodySink {
public:
    virtual ~BodySink() = default;
    // Takes the body's bytes [offset, offset + size); throws when they
    // cannot be stored.
    virtual void write(const char* data, std::size_t size, std::uint64_t offset) = 0;
};

// A request body: in memory when small, else spooled to a file in the
// service's spool folder (same file system as the drives, so it can be
// renamed into place), or given to a sink. The spool file is removed unless
// taken.
class RequestBody {
public:
    RequestBody() = default;
    ~RequestBody();
    RequestBody(const RequestBody&) = delete;
    RequestBody& operator=(const RequestBody&) = delete;

    static constexpr std::size_t kMemoryLimit = 4 * 1024 * 1024;

    // Appends bytes: to the sink when there is one, else to memory, moving
    // to a spool file in `spoolDirectory` past the memory limit.
    void append(const char* data, std::size_t size, const std::filesystem::path& spoolDirectory);
    // Sends every byte to `sink` (neither memory nor spool holds any);
    // only before the first byte arrives.
    void sendTo(std::shared_ptr<BodySink> sink);
    // The sink the bytes went to, or null.
    const std::shared_ptr<BodySink>& sink() const { return sink_; }
    void finish();

    std::uint64_t size() const { return size_; }
    bool isSpooled() const { return !spoolPath_.empty(); }
    // The body in memory (only when not spooled).
    const std::string& memory() const { return memory_; }
    const std::filesystem::path& spoolPath() const { return spoolPath_; }
    // Gives up ownership of the spool file (the caller renamed it).
    void releaseSpoolFile() { spoolPath_.clear(); }

private:
    std::string memory_;
    std::shared_ptr<BodySink> sink_;
    std::filesystem::path spoolPath_;
    int spoolFd_ = -1;
    std::uint64_t size_ = 0;
};

struct IncomingRequest {
    RecordedRequest info;
    RequestBody body;
};

// A reply: a body in memory, or a range of an open file streamed from disk.
struct Reply {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::shared_ptr<OpenFile> file;
    std::uint64_t fileOffset = 0;
    std::uint64_t fileLength = 0;
    bool headOnly = false;  // HEAD: headers (Content-Length included) without the body
    bool chunked = false;   // chunked framing instead of Content-Length
    bool dropConnection = false;  // close the connection instead of answering (the route's work is done)

    Reply& header(std::string name, std::string value) {
        headers.emplace_back(std::move(name), std::move(value));
        return *this;
    }
    std::uint64_t bodyLength() const { return file ? fileLength : body.size(); }

    static Reply text(int status, std::string body);
    static Reply json(int status, std::string body);
    static Reply xml(int status, std::string body);
    static Reply empty(int status);
};

// Percent-decoding; false when an escape is malformed. With `plusIsSpace`
// (query and form values) "+" reads as a blank.
bool percentDecode(std::string_view text, bool plusIsSpace, std::string& out);
// Percent-encodes everything except the unreserved characters.
std::string percentEncode(std::string_view text);
// "Thu, 10 Dec 2026 09:05:06 GMT".
std::string httpDate(std::int64_t unixSeconds);
std::string lowercase(std::string_view text);
bool equalsIgnoringCase(std::string_view a, std::string_view b);
// `bytes` random bytes as lower-case hex (names of temporary files and ids; not secrets).
std::string randomHex(std::size_t bytes);

}  // namespace nimbuscrate::localservice
