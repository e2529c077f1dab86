#include "fileprovider/FileProviderErrorMapping.h"
#include "fileprovider/ExtensionErrors.h"
#include "fileprovider/ItemNameRules.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/core/CancellationError.h"
#include "platform/core/PlatformError.h"
#include "platform/core/UrlLoadingError.h"
#include "shared/encryption/E2EEError.h"
#include "shared/session/DesktopError.h"

namespace nimbuscrate {
namespace {

// What the user info of a mapped error must hold.
enum class Info {
    none,         // no user info at all
    empty,        // user info present, with nothing in it
    description,  // exactly the description of the input
    underlying,   // exactly the input error as underlying error
};

struct Case {
    std::string name;
    std::function<std::exception_ptr()> make;
    std::string domain;
    long code;
    Info info;
    std::string description;  // for Info::description
};

template <class E>
std::function<std::exception_ptr()> thrown(E error) {
    return [error] { return std::make_exception_ptr(error); };
}

std::string e2eeMessage(E2EEError::Case kind) { return E2EEError::message(kind); }

const std::string fp_ = fp::kFileProviderErrorDomain;
const std::string cocoa = fp::kCocoaErrorDomain;

std::vector<Case> mappingTable() {
    using K = E2EEError::Case;
    std::vector<Case> cases = {
        {"e2ee locked", thrown(E2EEError::locked()), fp_, -1000, Info::description, e2eeMessage(K::locked)},
        {"e2ee sessionChanged", thrown(E2EEError::sessionChanged()), fp_, -1000, Info::description,
         e2eeMessage(K::sessionChanged)},
        {"e2ee invalid", thrown(E2EEError::invalid()), fp_, -2005, Info::description, e2eeMessage(K::invalid)},
        {"e2ee paused", thrown(E2EEError::paused()), fp_, -2005, Info::description, e2eeMessage(K::paused)},
        {"e2ee identity", thrown(E2EEError::identity()), fp_, -2005, Info::description, e2eeMessage(K::identity)},
        {"e2ee history", thrown(E2EEError::history()), fp_, -2005, Info::description, e2eeMessage(K::history)},
        {"e2ee conflict", thrown(E2EEError::conflict()), fp_, -2005, Info::description, e2eeMessage(K::conflict)},
        {"e2ee setup", thrown(E2EEError::setup()), fp_, -2005, Info::description, e2eeMessage(K::setup)},
        {"url time-out", thrown(UrlLoadingError(28, "The request timed out.")), fp_, -1004, Info::description,
         "The request timed out."},
        {"url no connection", thrown(UrlLoadingError(7, "Could not connect to the server.")), fp_, -1004,
         Info::description, "Could not connect to the server."},
        // A cancelled transfer is a transport failure, not a user cancellation.
        {"url cancelled", thrown(UrlLoadingError(42, "cancelled")), fp_, -1004, Info::description, "cancelled"},
        {"task cancellation", thrown(CancellationError()), cocoa, 3072, Info::empty, ""},
        {"notAuthenticated", thrown(DesktopError::notAuthenticated()), fp_, -1000, Info::none, ""},
        {"missingItem", thrown(DesktopError::missingItem("abc")), fp_, -1005, Info::none, ""},
        {"missingItem empty id", thrown(DesktopError::missingItem("")), fp_, -1005, Info::none, ""},
        {"encryptionRequired", thrown(DesktopError::encryptionRequired()), fp_, -2005, Info::description,
         DesktopError::encryptionRequired().errorDescription()},
        {"encryptionPolicyUnavailable", thrown(DesktopError::encryptionPolicyUnavailable()), fp_, -1004,
         Info::description, DesktopError::encryptionPolicyUnavailable().errorDescription()},
        {"noNimbuscrateSpace", thrown(DesktopError::noNimbuscrateSpace()), cocoa, 4101, Info::underlying, ""},
        {"invalidResponse", thrown(DesktopError::invalidResponse()), cocoa, 4101, Info::underlying, ""},
        {"sqlite error", thrown(PlatformError("app.nimbuscrate.mapping.sqlite", 5, "database is locked")), cocoa, 4101,
         Info::underlying, ""},
        {"keychain error", thrown(PlatformError(kOSStatusErrorDomain, -25300, "not found")), cocoa, 4101,
         Info::underlying, ""},
        {"file-system error", thrown(posixError(2, "open")), cocoa, 4101, Info::underlying, ""},
        {"unknown std error", thrown(std::runtime_error("boom")), cocoa, 4101, Info::underlying, ""},
        {"non-std error", [] { return std::make_exception_ptr(42); }, cocoa, 4101, Info::underlying, ""},
    };
    for (long status : {500L, 502L, 503L, 599L, 600L, 425L, 429L}) {
        auto error = DesktopError::server(status, "body");
        cases.push_back({"server " + std::to_string(status), thrown(error), fp_, -1004, Info::description,
                         error.errorDescription()});
    }
    for (long status : {400L, 401L, 404L, 409L, 424L, 426L, 428L, 430L, 499L, 200L, 302L, 0L}) {
        cases.push_back(
            {"server " + std::to_string(status), thrown(DesktopError::server(status, "x")), cocoa, 4101, Info::underlying, ""});
    }
    return cases;
}

// Checks one mapped error against its row of a table.
void expectMapped(const fp::Error& mapped, const Case& row, const std::exception_ptr& input) {
    EXPECT_EQ(mapped.domain, row.domain);
    EXPECT_EQ(mapped.code, row.code);
    switch (row.info) {
        case Info::none:
            EXPECT_FALSE(mapped.userInfo.has_value());
            break;
        case Info::empty:
            ASSERT_TRUE(mapped.userInfo.has_value());
            EXPECT_FALSE(mapped.userInfo->description.has_value());
            EXPECT_FALSE(mapped.userInfo->underlying);
            break;
        case Info::description:
            ASSERT_TRUE(mapped.userInfo.has_value());
            EXPECT_EQ(mapped.userInfo->description, row.description);
            EXPECT_FALSE(mapped.userInfo->underlying);
            break;
        case Info::underlying:
            ASSERT_TRUE(mapped.userInfo.has_value());
            EXPECT_FALSE(mapped.userInfo->description.has_value());
            // The very same exception object, not a copy.
            EXPECT_EQ(mapped.userInfo->underlying, input);
            break;
    }
}

TEST(FileProviderErrorMapping, MapsEveryInputAsTheTableSays) {
    for (const auto& row : mappingTable()) {
        SCOPED_TRACE(row.name);
        std::exception_ptr input = row.make();
        expectMapped(fileProviderError(input), row, input);
    }
}

TEST(FileProviderErrorMapping, UnderlyingErrorKeepsItsTypeAndIdentity) {
    struct CustomError : std::exception {
        int marker = 7;
    };
    auto input = std::make_exception_ptr(CustomError{});
    fp::Error mapped = fileProviderError(input);
    ASSERT_TRUE(mapped.userInfo.has_value());
    const CustomError* first = nullptr;
    const CustomError* second = nullptr;
    try {
        std::rethrow_exception(input);
    } catch (const CustomError& error) {
        first = &error;
    }
    try {
        std::rethrow_exception(mapped.userInfo->underlying);
    } catch (const CustomError& error) {
        second = &error;
        EXPECT_EQ(error.marker, 7);
    }
    EXPECT_EQ(first, second);
}

TEST(FileProviderErrorMapping, DoesNotLookInsideWrappedErrors) {
    // A transport failure nested inside another error is not a transport failure.
    std::exception_ptr wrapped;
    try {
        try {
            throw UrlLoadingError(28, "timed out");
        } catch (...) {
            std::throw_with_nested(std::runtime_error("listing failed"));
        }
    } catch (...) {
        wrapped = std::current_exception();
    }
    fp::Error mapped = fileProviderError(wrapped);
    EXPECT_EQ(mapped.domain, fp::kCocoaErrorDomain);
    EXPECT_EQ(mapped.code, 4101);
}

TEST(FileProviderErrorMapping, DerivedTransportErrorsAreTransportErrors) {
    struct TlsError : UrlLoadingError {
        TlsError() : UrlLoadingError(35, "TLS handshake failed") {}
    };
    fp::Error mapped = fileProviderError(std::make_exception_ptr(TlsError{}));
    EXPECT_EQ(mapped.domain, fp::kFileProviderErrorDomain);
    EXPECT_EQ(mapped.code, -1004);
    EXPECT_EQ(mapped.userInfo->description, "TLS handshake failed");
}

// The extension's own refusals come before the general mapping: a name clash
// on the server is a collision the system reports, and a name the drive can
// never hold is shown as not synchronisable rather than retried.
TEST(FileProviderExtensionErrors, RefusalsOfTheExtensionAndEverythingElseThroughTheMapping) {
    const NameCollisionError collision("taken");
    const InvalidItemNameError refused("Names beginning with \"._\" are reserved and cannot be synchronised.");
    std::vector<Case> cases = {
        {"name collision", thrown(collision), fp_, -1001, Info::description, collision.what()},
        {"refused name", thrown(refused), fp_, -2005, Info::description, refused.what()},
        {"missingItem", thrown(DesktopError::missingItem("abc")), fp_, -1005, Info::none, ""},
        {"server 503", thrown(DesktopError::server(503, "")), fp_, -1004, Info::description,
         DesktopError::server(503, "").errorDescription()},
        {"unknown std error", thrown(std::runtime_error("boom")), cocoa, 4101, Info::underlying, ""},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        std::exception_ptr input = row.make();
        expectMapped(extensionError(input), row, input);
    }
}

}  // namespace
}  // namespace nimbuscrate
