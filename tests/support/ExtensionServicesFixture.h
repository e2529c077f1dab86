#pragma once

// What the end-to-end tests of the extension share: the local service with
// one drive ("d1") and a signed-in session for it, and the services the real
// extension runs on (the file-server client, the mapping store, the upload
// activity store and an encryption seam, plain-only unless a test brings
// its own), all in a private temporary folder that is removed afterwards.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "fileprovider/FileProviderExtension.h"
#include "fileprovider/OcisFileServer.h"
#include "platform/defaults/Defaults.h"
#include "platform/http/HttpTransport.h"
#include "shared/session/DesktopSession.h"
#include "shared/session/KeychainStore.h"
#include "shared/session/MappingStore.h"
#include "shared/session/OAuthClient.h"
#include "shared/session/OcisClient.h"
#include "shared/session/PlainOnlyDriveService.h"
#include "shared/session/TokenProvider.h"
#include "shared/session/UploadActivityStore.h"
#include "tests/support/LocalServiceFixture.h"
#include "tools/localservice/LocalService.h"

namespace nimbuscrate::testing {

class ExtensionServicesFixture : public ::testing::Test {
protected:
    // encryption: the seam the file-server client and the extension use.
    explicit ExtensionServicesFixture(
        std::shared_ptr<EncryptedDriveService> encryption = std::make_shared<PlainOnlyDriveService>())
        : data_(makeTemporaryDirectory("nc-extension")),
          service_(localservice::LocalService::Options{}),
          store_(KeychainStore::kSessionService, KeychainStore::kSessionAccount,
                 KeychainBackends::inDirectory(data_ / "secrets")),
          mapping_(data_ / "container"),
          defaults_(data_ / "group.json"),
          uploads_(std::make_shared<UploadActivityStore>(defaults_)),
          encryption_(std::move(encryption)) {
        service_.useForThisProcess();
        service_.addDrive({"d1", "Nimbuscrate", "project", ""});
        const localservice::IssuedTokens issued = service_.issueTokens();
        const DesktopSession session = DesktopSession::create(
            OAuthTokens{issued.accessToken, issued.refreshToken, Date::now().addingSeconds(3600)},
            DriveSelection{"d1", "Nimbuscrate", *Url::parse(service_.webDavUrl("d1"))});
        store_.save(bytesOf(session.toJSON()));
        drive_ = service_.driveDirectory("d1");
    }
    // A derived fixture stops whatever runs the extension (its own members
    // go first) before the folder goes.
    ~ExtensionServicesFixture() override {
        std::error_code ignored;
        std::filesystem::remove_all(data_, ignored);
    }

    // Makes the real extension on these services.
    fp::ExtensionFactory extensionFactory() {
        FileProviderExtension::Services services{std::make_shared<OcisFileServer>(client_), encryption_, &mapping_,
                                                 uploads_};
        return [services](fp::ExtensionEnvironment environment) -> fp::ExtensionPtr {
            return FileProviderExtension::make(std::move(environment), services);
        };
    }

    std::vector<localservice::RecordedRequest> davRequests(const std::string& method) {
        return service_.requests().matching(method, "/dav/");
    }

    std::filesystem::path data_;
    localservice::LocalService service_;
    KeychainStore store_;
    MappingStore mapping_;
    Defaults defaults_;
    std::shared_ptr<UploadActivityStore> uploads_;
    std::shared_ptr<EncryptedDriveService> encryption_;
    OAuthClient oauth_{HttpTransport::shared(), store_, Clock::system()};
    TokenProvider tokens_{store_, oauth_, Clock::system()};
    OcisClient client_{store_, tokens_, OcisClient::Services{encryption_, nullptr, &mapping_, uploads_}};
    std::filesystem::path drive_;
};

}  // namespace nimbuscrate::testing
