#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "shared/encryption/E2EEError.h"
#include "shared/session/DesktopError.h"
#include "shared/session/ServiceEndpoints.h"

namespace nimbuscrate {
namespace {

// The web app's host as the build sets it, worked out here without the
// code under test: host names compare in lower case, and a port is not part
// of the host.
std::string expectedWebAppHost() {
    std::string host = NIMBUSCRATE_WEBAPP_HOST;
    host = host.substr(0, host.find_first_of(":/"));
    for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return host;
}

// The text between two fixed pieces of a message.
std::string between(const std::string& text, const std::string& before, const std::string& after) {
    const auto start = text.find(before);
    if (start == std::string::npos) return "(missing \"" + before + "\")";
    const auto from = start + before.size();
    const auto end = text.find(after, from);
    if (end == std::string::npos) return "(missing \"" + after + "\")";
    return text.substr(from, end - from);
}

TEST(DesktopError, Descriptions) {
    const std::string host = expectedWebAppHost();
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
    const std::string host = expectedWebAppHost();
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

TEST(E2EEError, SetupNamesTheSameWebAppHostAsEveryOtherMessage) {
    const std::string setupHost =
        between(E2EEError::setup().errorDescription(), "Finish encryption setup on ", ", then return here");
    const std::string requiredHost =
        between(DesktopError::encryptionRequired().errorDescription(), "Open ", " to upload or change files.");
    EXPECT_EQ(setupHost, requiredHost);
    EXPECT_EQ(setupHost, webAppURL().host());
    EXPECT_FALSE(setupHost.empty());
}

TEST(ServiceEndpoints, CompiledInBaseUrls) {
    EXPECT_EQ(identityRealmURL().scheme(), "https");
    EXPECT_EQ(identityRealmURL().path(), "/realms/nimbuscrate");
    EXPECT_EQ(webAppURL().scheme(), "https");
    EXPECT_EQ(webAppURL().path(), "/");
    EXPECT_EQ(mediaServiceURL().scheme(), "https");
    EXPECT_EQ(signUpURL().path(), "/signup");
    EXPECT_EQ(signUpURL().query(), "source=desktop");
    EXPECT_EQ(accountAPIURL().scheme(), "https");
    EXPECT_EQ(accountAPIURL().host(), NIMBUSCRATE_ACCOUNT_API_HOST);
    EXPECT_EQ(accountAPIURL().path(), "/api/v1/");
}

}  // namespace
}  // namespace nimbuscrate
