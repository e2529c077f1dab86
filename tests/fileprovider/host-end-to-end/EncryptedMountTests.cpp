// An encrypted account on a real FUSE mount: the host serving the real
// extension, whose encrypted items go through the encryption client, against
// the local service. Encrypted files are made with the project's own formats.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>

#include "platform/core/Random.h"
#include "platform/fileprovider/host/HostDaemon.h"
#include "shared/encryption-client/E2EEClient.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/session/ServiceEndpoints.h"
#include "tests/support/E2EERecordBuilder.h"
#include "tests/support/Eventually.h"
#include "tests/support/ExtensionServicesFixture.h"
#include "tests/support/MountTestSupport.h"

namespace nimbuscrate::testing {
namespace {

using fp::host::HostDaemon;

class EncryptedMount : public ExtensionServicesFixture {
protected:
    void SetUp() override {
        if (!canMount()) GTEST_SKIP() << "needs root and /dev/fuse to mount";
        root_ = freshMountRoot("/tmp", "fpe");
        E2EERecordBuilder::AccountSpec spec;
        spec.ownedDriveIds = {"d1"};
        spec.primaryDriveId = "d1";
        service_.accountApi().setAccount(builder_.accountRecord(spec).canonicalString());
        const std::string sessionID = *store_.loadSession()->sessionID;
        secret(E2EEClient::kKeysService, sessionID)->save(builder_.keysBytes());

        E2EEClient::Credentials credentials;
        credentials.session = [this] { return store_.loadSession(); };
        credentials.token = [this](std::stop_token stop) { return tokens_.validAccessToken(stop); };
        credentials.secret = [this](const std::string& service, const std::string& account)
            -> std::shared_ptr<E2EESecretStore> { return secret(service, account); };
        E2EEClient::Services services{HttpTransport::shared(), credentials, mapping_, Clock::system(),
                                      accountAPIURL(), data_ / "e2ee", 1};
        services.temporaryDirectory = data_ / "tmp";
        std::filesystem::create_directories(services.temporaryDirectory);
        encrypted_ = std::make_shared<E2EEClient>(std::move(services));
        files_ = std::make_unique<OcisClient>(store_, tokens_,
                                              OcisClient::Services{encrypted_, nullptr, &mapping_, uploads_});
    }

    void TearDown() override {
        if (daemon_) daemon_->stop();
        daemon_.reset();
        std::error_code ignored;
        if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
    }

    std::shared_ptr<KeychainStore> secret(const std::string& service, const std::string& account) {
        return std::make_shared<KeychainStore>(service, account, KeychainBackends::inDirectory(data_ / "secrets"));
    }

    // An encrypted file at the drive root: its record in the listing and its
    // blob (named by two UUIDs, as the service names them) in the drive.
    void seedEncryptedFile(const std::string& name, const std::string& contents) {
        E2EERecordBuilder::FileSpec spec;
        spec.nodeId = Uuid::random().lowerString();
        spec.revisionId = Uuid::random().lowerString();
        spec.name = name;
        spec.size = static_cast<std::int64_t>(contents.size());
        spec.driveId = "d1";
        spec.embeddedGeneration.reset();
        const E2EEJSON record = builder_.fileRecord(spec);
        service_.accountApi().putFile(record.canonicalString());
        const std::filesystem::path plain = data_ / "plain";
        writeFile(plain, contents);
        E2EECrypto::transformFile(plain, drive_ / *record.member("opaqueName").stringValue(),
                                  E2EECrypto::openFile(builder_.keys(), record.member("manifest")), true);
        std::filesystem::remove(plain);
    }

    void mountDrive() {
        HostDaemon::Options options;
        options.home = root_ / "home";
        options.runtimeDirectory = root_ / "run";
        options.dataDirectory = root_ / "data";
        FileProviderExtension::Services services{std::make_shared<OcisFileServer>(*files_), encrypted_, &mapping_,
                                                 uploads_};
        options.factory = [services](fp::ExtensionEnvironment environment) -> fp::ExtensionPtr {
            return FileProviderExtension::make(std::move(environment), services);
        };
        daemon_ = std::make_unique<HostDaemon>(options);
        daemon_->start();
        ASSERT_EQ(runFpctl(daemon_->socketPath(), "add nimbuscrate Nimbuscrate").first, 0);
        ASSERT_NE(daemon_->mountFor("nimbuscrate"), nullptr);
    }
    std::filesystem::path folder() const { return root_ / "home" / "Nimbuscrate"; }

    static std::string run(const std::string& command) {
        std::string output;
        FILE* pipe = ::popen(command.c_str(), "r");
        if (!pipe) return output;
        char buffer[4096];
        std::size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
        ::pclose(pipe);
        return output;
    }

    E2EERecordBuilder builder_;
    std::shared_ptr<E2EEClient> encrypted_;
    std::unique_ptr<OcisClient> files_;
    std::filesystem::path root_;
    std::unique_ptr<HostDaemon> daemon_;
};

TEST_F(EncryptedMount, CatOfAnEncryptedFileGivesItsPlaintext) {
    const std::string secretText = "the plaintext of an encrypted file\n" + std::string(300'000, 'e');
    seedEncryptedFile("Secret notes.txt", secretText);
    writeFile(drive_ / "Legacy.txt", "plain bytes");
    mountDrive();

    // The encrypted file shows beside the plain one, not its blob.
    const std::string listing = run("ls -1 '" + folder().string() + "'");
    EXPECT_EQ(listing, "Legacy.txt\nSecret notes.txt\n");
    EXPECT_EQ(run("cat '" + (folder() / "Secret notes.txt").string() + "'"), secretText);
    EXPECT_EQ(run("cat '" + (folder() / "Legacy.txt").string() + "'"), "plain bytes");
    struct stat shown {};
    ASSERT_EQ(::stat((folder() / "Secret notes.txt").c_str(), &shown), 0);
    EXPECT_EQ(shown.st_size, static_cast<off_t>(secretText.size()));

    // Nothing of the encrypted file travelled in clear, and the download
    // left nothing in the client's temporary folder.
    for (const auto& request : service_.requests().all()) {
        EXPECT_EQ(request.target.find("Secret"), std::string::npos) << request.target;
        EXPECT_EQ(request.body.find("Secret"), std::string::npos) << request.target;
        EXPECT_EQ(request.body.find("the plaintext"), std::string::npos) << request.target;
    }
    EXPECT_TRUE(std::filesystem::is_empty(data_ / "tmp"));
}

}  // namespace
}  // namespace nimbuscrate::testing
