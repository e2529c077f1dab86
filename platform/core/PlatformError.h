#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace nimbuscrate {

// An error reported by a lower layer in its own domain with a numeric code,
// the way the platform's error objects carry status codes: secret-store
// statuses in "NSOSStatusErrorDomain", SQLite result codes in
// "app.nimbuscrate.mapping.sqlite", and so on.
class PlatformError : public std::runtime_error {
public:
    PlatformError(std::string domain, long long code, std::string description)
        : std::runtime_error(description), domain_(std::move(domain)), code_(code) {}

    const std::string& domain() const noexcept { return domain_; }
    long long code() const noexcept { return code_; }
    std::string description() const { return what(); }

private:
    std::string domain_;
    long long code_;
};

inline constexpr const char* kOSStatusErrorDomain = "NSOSStatusErrorDomain";
inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";

// A POSIX failure (errno) with the operation that failed, in kPOSIXErrorDomain.
PlatformError posixError(int errorNumber, const std::string& operation);

}  // namespace nimbuscrate
