#pragma once

// What the tests against the local service share: a local service on
// 127.0.0.1 that the compiled-in hosts are routed to, a private secret store
// for the session item, a manual clock, helpers to sign in and to read what
// was stored, file helpers, a tiny image and an encryption seam to script.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/http/DevelopmentRoute.h"
#include "platform/tasks/Clock.h"
#include "shared/session/DesktopSession.h"
#include "shared/session/KeychainStore.h"
#include "shared/session/PlainOnlyDriveService.h"
#include "tools/localservice/AccountApi.h"
#include "tools/localservice/LocalService.h"

namespace nimbuscrate::testing {

inline std::filesystem::path makeTemporaryDirectory(const std::string& stem) {
    std::string pattern = (std::filesystem::temp_directory_path() / (stem + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Writes the file, creating its folders.
inline void writeFile(const std::filesystem::path& path, const std::string& contents) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

// A 2 × 2 PNG.
inline const std::string kTinyPNG(
    "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x00\x02\x00\x00\x00\x02\x08\x02\x00"
    "\x00\x00\xfd\xd4\x9a\x73\x00\x00\x00\x11\x49\x44\x41\x54\x78\x9c\x63\xf8\xcf\xc0\x00\x44\x0c\x60\xf2\x3f\x00"
    "\x1b\xf2\x03\xfd\xf3\xe7\x4b\xb1\x00\x00\x00\x00\x49\x45\x4e\x44\xae\x42\x60\x82",
    74);

// An encryption seam that answers everything as a process without an
// encryption client does; a test overrides the questions it scripts.
class ForwardingDriveService : public EncryptedDriveService {
public:
    bool isEncryptionRequired(std::stop_token s) override { return plain.isEncryptionRequired(s); }
    std::vector<RemoteItem> listEncryptedChildren(const RemoteItem& p, std::stop_token s) override {
        return plain.listEncryptedChildren(p, s);
    }
    std::filesystem::path downloadEncryptedFile(const RemoteItem& i, std::stop_token s) override {
        return plain.downloadEncryptedFile(i, s);
    }
    std::optional<Bytes> fetchEncryptedThumbnail(const RemoteItem& i, std::stop_token s) override {
        return plain.fetchEncryptedThumbnail(i, s);
    }
    RemoteItem createEncryptedItem(const std::string& n, const RemoteItem& p, bool d,
                                   const std::optional<std::filesystem::path>& c, std::optional<Date> m,
                                   std::stop_token s) override {
        return plain.createEncryptedItem(n, p, d, c, m, s);
    }
    RemoteItem modifyEncryptedItem(const RemoteItem& i, const RemoteItem& p, const std::string& n,
                                   const std::optional<std::filesystem::path>& c, std::optional<Date> m, bool b,
                                   std::stop_token s) override {
        return plain.modifyEncryptedItem(i, p, n, c, m, b, s);
    }
    void deleteEncryptedItem(const RemoteItem& i, std::stop_token s) override { plain.deleteEncryptedItem(i, s); }

private:
    PlainOnlyDriveService plain;
};

class LocalServiceFixture : public ::testing::Test {
protected:
    LocalServiceFixture()
        : secrets(makeTemporaryDirectory("nc-session-secrets")),
          service(localservice::LocalService::Options{}),
          store(KeychainStore::kSessionService, KeychainStore::kSessionAccount,
                KeychainBackends::inDirectory(secrets)),
          clock(Date::now()) {
#ifdef NIMBUSCRATE_DEVELOPMENT
        DevelopmentRoute::set(service.address(), service.caCertificateFile().string());
#endif
    }
    ~LocalServiceFixture() override {
#ifdef NIMBUSCRATE_DEVELOPMENT
        DevelopmentRoute::clear();
#endif
        std::error_code ignored;
        std::filesystem::remove_all(secrets, ignored);
    }

    // Only a development build can route the service hosts to 127.0.0.1;
    // elsewhere these tests would talk to the real service, so they skip.
    void SetUp() override {
#ifndef NIMBUSCRATE_DEVELOPMENT
        GTEST_SKIP() << "needs a development build (NIMBUSCRATE_DEVELOPMENT)";
#endif
    }

    void storeSession(const DesktopSession& session) { store.save(bytesOf(session.toJSON())); }
    std::optional<DesktopSession> storedSession() { return store.loadSession(); }

    // A session with a new token family whose access token has `secondsLeft`
    // on the manual clock.
    DesktopSession signIn(double secondsLeft = 3600, std::optional<DriveSelection> drive = std::nullopt) {
        const localservice::IssuedTokens issued = service.issueTokens();
        DesktopSession session = DesktopSession::create(
            OAuthTokens{issued.accessToken, issued.refreshToken, clock.now().addingSeconds(secondsLeft)}, drive);
        storeSession(session);
        return session;
    }

    // The account API, for tests of encrypted accounts (texts are JSON, as
    // the client's canonical text gives them; the service does no cryptography):
    // - setAccount: the JSON object GET "e2ee/account" answers with, byte for
    //   byte. Until a test sets one it answers with a plain account
    //   (AccountApi::kPlainAccount: mode "legacy", no key record).
    // - seedNode: a signed node record {"value", "signature"}, listed by GET
    //   "e2ee/nodes" as {"state": record} (plus "erased": true when erased).
    // - seedFile: a file record {"manifest", "driveId", "parentItemId",
    //   "opaqueName", "ciphertextLength", "revisionId", "generation", "current"},
    //   listed by GET "e2ee/files" as given.
    // A seeded record becomes the newest version of its node or file (its
    // generation must be above the stored one); listings serve newest
    // versions only. More (page size, bootstrap count, knobs):
    // service.accountApi(), see AccountApi.h.
    void setAccount(const std::string& accountJson) { service.accountApi().setAccount(accountJson); }
    void seedNode(const std::string& signedRecordJson, bool erased = false) {
        service.accountApi().putNode(signedRecordJson, erased);
    }
    void seedFile(const std::string& fileRecordJson) { service.accountApi().putFile(fileRecordJson); }
    // Encrypted contents, as uploads would leave them: a blob is a file of its
    // drive (added with service.addDrive) named by its opaque name; a sealed
    // thumbnail is what the media service serves for a node's revision.
    void seedBlob(const std::string& driveId, const std::string& opaqueName, const std::string& bytes) {
        writeFile(service.driveDirectory(driveId) / opaqueName, bytes);
    }
    void seedEncryptedThumbnail(const std::string& nodeId, const std::string& revisionId, const std::string& bytes) {
        service.putEncryptedThumbnail(nodeId, revisionId, bytes);
    }

    std::filesystem::path secrets;
    localservice::LocalService service;
    KeychainStore store;
    ManualClock clock;
};

}  // namespace nimbuscrate::testing
