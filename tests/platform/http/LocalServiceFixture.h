#pragma once

// What the session-layer tests share: a local service on 127.0.0.1 that the
// compiled-in hosts are routed to, a private secret store for the session
// item, a manual clock, and helpers to sign in and to read what was stored.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/http/DevelopmentRoute.h"
#include "platform/tasks/Clock.h"
#include "shared/session/DesktopSession.h"
#include "shared/session/KeychainStore.h"
#include "tools/localservice/LocalService.h"

namespace nimbuscrate::testing {

inline std::filesystem::path makeTemporaryDirectory(const std::string& stem) {
    std::string pattern = (std::filesystem::temp_directory_path() / (stem + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

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

    std::filesystem::path secrets;
    localservice::LocalService service;
    KeychainStore store;
    ManualClock clock;
};

}  // namespace nimbuscrate::testing
