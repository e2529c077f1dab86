#include <gtest/gtest.h>

#include "shared/encryption/E2EEError.h"
#include "shared/session/DesktopError.h"
#include "shared/session/ServiceEndpoints.h"

namespace nimbuscrate {
namespace {

TEST(DesktopError, Descriptions) {
    const std::string host = webAppURL().host();
    const std::pair<DesktopError, std::string> cases[] = {
        {DesktopError::server(503, "busy"), "Nimbuscrate request failed (503): busy"},
        {DesktopError::server(0, ""), "Nimbuscrate request failed (0): "},
        {DesktopError::server(-1, "x"), "Nimbuscrate request failed (-1): x"},
        {DesktopError::missingItem("path:/a"), "The item path:/a no longer exists."},
        {DesktopError::notAuthenticated(), "Sign in to Nimbuscrate first."},
        {DesktopError::noNimbuscrateSpace(), "Your Nimbuscrate storage is still being provisioned."},
        {DesktopError::invalidResponse(), "Nimbuscrate returned an invalid response."},
        {DesktopError::encryptionRequired(),
         "This account uses encrypted files. Open " + host +
             " to upload or change files. Open supported Word, Excel and PowerPoint files in the website browser "
             "editor. Changes save there automatically. Your local changes have not been uploaded."},
        {DesktopError::encryptionPolicyUnavailable(),
         "Encryption settings could not be verified. Try again before making changes. Your local changes have not "
         "been uploaded."},
    };
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(error.errorDescription(), text);
        EXPECT_STREQ(error.what(), text.c_str());
    }
    EXPECT_EQ(DesktopError::server(500, "a"), DesktopError::server(500, "a"));
    EXPECT_FALSE(DesktopError::server(500, "a") == DesktopError::server(501, "a"));
}

TEST(E2EEError, MessagesAndTags) {
    using Case = E2EEError::Case;
    const std::string host = webAppURL().host();
    const std::tuple<Case, int, std::string> cases[] = {
        {Case::invalid, 0,
         "Encrypted data could not be verified. Check your encryption passphrase or recovery key and try again."},
        {Case::locked, 1, "Open Nimbuscrate and unlock your encrypted files to continue."},
        {Case::paused, 2, "Encrypted changes are paused. Your local changes have not been uploaded."},
        {Case::identity, 3, "The encryption identity changed. Unlock this account again before continuing."},
        {Case::history, 4, "Encrypted file history is older, conflicting, or incomplete. Refresh before making changes."},
        {Case::conflict, 5, "This file changed on another device or its name is ambiguous. Refresh before saving again."},
        {Case::setup, 6, "Finish encryption setup on " + host + ", then return here to unlock your files."},
        {Case::sessionChanged, 7, "Your signed-in account changed. Try again."},
    };
    for (const auto& [kind, tag, text] : cases) {
        const E2EEError error(kind);
        EXPECT_EQ(error.code(), tag);
        EXPECT_EQ(error.errorDescription(), text);
        EXPECT_STREQ(error.what(), text.c_str());
    }
    EXPECT_EQ(E2EEError::invalid().errorDescription().size(), 101u);
    EXPECT_EQ(E2EEError::sessionChanged().errorDescription().size(), 42u);
    EXPECT_EQ(E2EEError::conflict(), E2EEError(Case::conflict));
    EXPECT_FALSE(E2EEError::conflict() == E2EEError::history());
}

TEST(ServiceEndpoints, CompiledInBaseUrls) {
    EXPECT_EQ(identityRealmURL().scheme(), "https");
    EXPECT_EQ(identityRealmURL().path(), "/realms/nimbuscrate");
    EXPECT_EQ(webAppURL().scheme(), "https");
    EXPECT_EQ(webAppURL().path(), "/");
    EXPECT_EQ(mediaServiceURL().scheme(), "https");
    EXPECT_EQ(signUpURL().path(), "/signup");
    EXPECT_EQ(signUpURL().query(), "source=desktop");
}

}  // namespace
}  // namespace nimbuscrate
