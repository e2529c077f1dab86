#pragma once

#include <exception>
#include <optional>
#include <string>

namespace nimbuscrate::fp {

inline constexpr const char* kFileProviderErrorDomain = "NSFileProviderErrorDomain";
inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";

// Codes of kFileProviderErrorDomain.
namespace FileProviderErrorCode {
inline constexpr long notAuthenticated = -1000;
inline constexpr long filenameCollision = -1001;
inline constexpr long serverUnreachable = -1004;
inline constexpr long noSuchItem = -1005;
inline constexpr long cannotSynchronize = -2005;
}  // namespace FileProviderErrorCode

// Codes of kCocoaErrorDomain.
namespace CocoaErrorCode {
inline constexpr long userCancelled = 3072;
inline constexpr long connectionInterrupted = 4097;  // the connection to the system was lost
inline constexpr long connectionReplyInvalid = 4101;  // general error carrying the underlying error
}  // namespace CocoaErrorCode

// The optional details of an error.
struct ErrorUserInfo {
    std::optional<std::string> description;  // the localized description
    std::exception_ptr underlying;            // the error this one stands for, or null

    bool empty() const { return !description && !underlying; }
};

// An error as the system understands it. "No user info" (userInfo empty) is
// not the same as an empty user info (userInfo present with nothing in it).
struct Error {
    std::string domain;
    long code = 0;
    std::optional<ErrorUserInfo> userInfo;

    static Error fileProvider(long code) { return Error{kFileProviderErrorDomain, code, std::nullopt}; }
    static Error fileProvider(long code, std::string description) {
        return Error{kFileProviderErrorDomain, code, ErrorUserInfo{std::move(description), nullptr}};
    }
    static Error userCancelled() { return Error{kCocoaErrorDomain, CocoaErrorCode::userCancelled, ErrorUserInfo{}}; }
    static Error connectionInterrupted() {
        return Error{kCocoaErrorDomain, CocoaErrorCode::connectionInterrupted, std::nullopt};
    }

    bool is(const std::string& errorDomain, long errorCode) const { return domain == errorDomain && code == errorCode; }

    // The description of the user info, else that of the underlying error,
    // else a text naming the domain and code.
    std::string localizedDescription() const;
};

// Carries an Error through code that reports failures by throwing.
class ErrorException : public std::exception {
public:
    explicit ErrorException(Error error);
    const Error& error() const noexcept { return error_; }
    const char* what() const noexcept override { return text_.c_str(); }

private:
    Error error_;
    std::string text_;
};

}  // namespace nimbuscrate::fp
