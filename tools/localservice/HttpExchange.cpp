#include "tools/localservice/HttpExchange.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <random>
#include <stdexcept>
#include <system_error>

namespace nimbuscrate::localservice {

OpenFile::~OpenFile() {
    if (fd_ >= 0) ::close(fd_);
}

RequestBody::~RequestBody() {
    if (spoolFd_ >= 0) ::close(spoolFd_);
    if (!spoolPath_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(spoolPath_, ignored);
    }
}

namespace {

void writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "spool write");
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

}  // namespace

void RequestBody::sendTo(std::shared_ptr<BodySink> sink) {
    if (size_ != 0) throw std::logic_error("a body goes to a sink from its first byte");
    sink_ = std::move(sink);
}

void RequestBody::append(const char* data, std::size_t size, const std::filesystem::path& spoolDirectory) {
    if (sink_) {
        sink_->write(data, size, size_);
        size_ += size;
        return;
    }
    size_ += size;
    if (spoolFd_ < 0 && memory_.size() + size <= kMemoryLimit) {
        memory_.append(data, size);
        return;
    }
    if (spoolFd_ < 0) {
        spoolPath_ = spoolDirectory / ("body-" + randomHex(12));
        spoolFd_ = ::open(spoolPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (spoolFd_ < 0) {
            spoolPath_.clear();
            throw std::system_error(errno, std::generic_category(), "spool open");
        }
        writeAll(spoolFd_, memory_.data(), memory_.size());
        memory_.clear();
        memory_.shrink_to_fit();
    }
    writeAll(spoolFd_, data, size);
}

void RequestBody::finish() {
    if (spoolFd_ >= 0) {
        int fd = spoolFd_;
        spoolFd_ = -1;
        if (::close(fd) != 0) throw std::system_error(errno, std::generic_category(), "spool close");
    }
}

namespace {

Reply withContentType(int status, std::string body, const char* contentType) {
    Reply reply;
    reply.status = status;
    reply.body = std::move(body);
    reply.header("Content-Type", contentType);
    return reply;
}

}  // namespace

Reply Reply::text(int status, std::string body) {
    return withContentType(status, std::move(body), "text/plain; charset=utf-8");
}

Reply Reply::json(int status, std::string body) { return withContentType(status, std::move(body), "application/json"); }

Reply Reply::xml(int status, std::string body) {
    return withContentType(status, std::move(body), "application/xml; charset=utf-8");
}

Reply Reply::empty(int status) {
    Reply reply;
    reply.status = status;
    return reply;
}

bool percentDecode(std::string_view text, bool plusIsSpace, std::string& out) {
    out.clear();
    out.reserve(text.size());
    auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) return false;
            int high = hexValue(text[i + 1]);
            int low = hexValue(text[i + 2]);
            if (high < 0 || low < 0) return false;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return true;
}

std::string percentEncode(std::string_view text) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

std::string httpDate(std::int64_t unixSeconds) {
    std::time_t time = static_cast<std::time_t>(unixSeconds);
    std::tm parts{};
    gmtime_r(&time, &parts);
    static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[parts.tm_wday], parts.tm_mday,
                  months[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return buffer;
}

std::string randomHex(std::size_t bytes) {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes; ++i) {
        auto value = static_cast<unsigned>(generator() & 0xff);
        out += digits[value >> 4];
        out += digits[value & 15];
    }
    return out;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string lowercase(std::string_view text) {
    std::string out(text);
    for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace nimbuscrate::localservice
