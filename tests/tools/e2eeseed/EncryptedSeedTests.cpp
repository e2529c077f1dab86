// The seed of the demo's encrypted account: the local service serves it as
// given, and the encryption client opens it with the keys written beside it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>

#include "platform/http/HttpTransport.h"
#include "platform/imaging/ImageTranscoder.h"
#include "platform/tasks/Clock.h"
#include "shared/encryption-client/E2EEAccountKeys.h"
#include "shared/encryption-client/E2EEClient.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/session/KeychainStore.h"
#include "shared/session/MappingStore.h"
#include "shared/session/ServiceEndpoints.h"
#include "tests/support/TemporaryDirectory.h"
#include "tools/e2eeseed/EncryptedSeed.h"
#include "tools/localservice/AccountApi.h"
#include "tools/localservice/LocalService.h"

namespace nimbuscrate {
namespace {

using Json = nlohmann::json;
using testing::TemporaryDirectory;

std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> sortedNames(const std::vector<RemoteItem>& items) {
    std::vector<std::string> names;
    for (const auto& item : items) names.push_back(item.name);
    std::sort(names.begin(), names.end());
    return names;
}

TEST(EncryptedSeed, TheDemoAccountOpensWithItsKeysThroughTheLocalService) {
#ifndef NIMBUSCRATE_DEVELOPMENT
    GTEST_SKIP() << "needs a development build (NIMBUSCRATE_DEVELOPMENT)";
#endif
    TemporaryDirectory dir;
    e2eeseed::writeEncryptedSeed(DEMO_SEED, DEMO_ENCRYPTED_ITEMS, dir / "seed.json", dir / "keys.json",
                                 dir / "unlock.json");
    for (const char* secretFile : {"keys.json", "unlock.json"}) {
        struct stat written{};
        ASSERT_EQ(::stat((dir / secretFile).c_str(), &written), 0) << secretFile;
        EXPECT_EQ(written.st_mode & 0777, 0600u) << secretFile;
    }
    const E2EEJSON keys = E2EEJSON::parse(readText(dir / "keys.json"));

    // Nothing of the encrypted items is in clear in the service's seed.
    const std::string seedText = readText(dir / "seed.json");
    for (const char* secret : {"Private", "Diary", "Itinerary", "Lisbon", "Finances", "Budget 2026", "3200",
                               "Passwords hint", "the year at the end"}) {
        EXPECT_EQ(seedText.find(secret), std::string::npos) << secret;
    }

    localservice::LocalService service({dir / "service", 0, dir / "seed.json"});
    service.useForThisProcess();
    const E2EEJSON account = E2EEJSON::parse(service.accountApi().account());
    EXPECT_EQ(account.member("mode"), E2EEJSON("required"));
    E2EECrypto::verifyKeyRecord(keys, account.member("keyRecord"));

    // The printed passphrase and the recovery key each unlock the account's
    // record, as served, to the keys written beside it; another passphrase
    // does not.
    const Json unlock = Json::parse(readText(dir / "unlock.json"));
    const std::string passphrase = unlock.at("passphrase");
    EXPECT_TRUE(std::regex_match(passphrase, std::regex("[a-z2-8]{5}(-[a-z2-8]{5}){3}"))) << passphrase;
    EXPECT_EQ(E2EECrypto::unlockAccountKeys(account.member("keyRecord"), passphrase, false).canonicalString(),
              keys.canonicalString());
    EXPECT_EQ(E2EECrypto::unlockAccountKeys(account.member("keyRecord"), unlock.at("recoveryKey"), true)
                  .canonicalString(),
              keys.canonicalString());
    EXPECT_THROW(E2EECrypto::unlockAccountKeys(account.member("keyRecord"), passphrase + "x", false), E2EEError);

    // A signed-in session on the demo drive with the keys installed, as the
    // run command leaves it.
    const auto backends = KeychainBackends::inDirectory(dir / "secrets");
    KeychainStore sessionStore(KeychainStore::kSessionService, KeychainStore::kSessionAccount, backends);
    const localservice::IssuedTokens issued = service.issueTokens();
    const DesktopSession session = DesktopSession::create(
        OAuthTokens{issued.accessToken, issued.refreshToken, Date::now().addingSeconds(3600)},
        DriveSelection{"demo-nimbuscrate", "Nimbuscrate Files", *Url::parse(service.webDavUrl("demo-nimbuscrate"))});
    sessionStore.save(bytesOf(session.toJSON()));
    KeychainStore(E2EEClient::kKeysService, *session.sessionID, backends).save(bytesOf(keys.canonicalString()));

    E2EEClient::Credentials credentials;
    credentials.session = [&] { return sessionStore.loadSession(); };
    credentials.token = [&](std::stop_token) { return sessionStore.loadSession()->tokens.accessToken; };
    credentials.secret = [&](const std::string& name, const std::string& item) -> std::shared_ptr<E2EESecretStore> {
        return std::make_shared<KeychainStore>(name, item, backends);
    };
    MappingStore mapping(dir / "mapping");
    E2EEClient client(E2EEClient::Services{HttpTransport::shared(), credentials, mapping, Clock::system(),
                                           accountAPIURL(), dir / "state", 1});

    const std::vector<RemoteItem> top = client.listEncryptedChildren(RemoteItem::root(), {});
    EXPECT_EQ(sortedNames(top), (std::vector<std::string>{"Finances", "Passwords hint.txt", "Private"}));
    const auto privateFolder = std::find_if(top.begin(), top.end(), [](const auto& i) { return i.name == "Private"; });
    ASSERT_NE(privateFolder, top.end());
    EXPECT_TRUE(privateFolder->isDirectory);
    EXPECT_EQ(sortedNames(client.listEncryptedChildren(*privateFolder, {})),
              (std::vector<std::string>{"Diary.txt", "Travel"}));

    // Each blob, stored on the drive under its opaque name, decrypts to the
    // text the demo declares, or to a JPEG of the declared size.
    std::map<std::string, std::string> declared;
    std::map<std::string, std::uint64_t> images;  // name → pixels
    const Json wanted = Json::parse(readText(DEMO_ENCRYPTED_ITEMS));
    for (const Json& item : wanted["items"]) {
        const std::string path = item["path"];
        const std::string name = path.substr(path.rfind('/') + 1);
        if (item.contains("text")) declared[name] = item["text"];
        if (item.contains("image")) {
            images[name] = item["image"]["width"].get<std::uint64_t>() * item["image"]["height"].get<std::uint64_t>();
        }
    }
    EXPECT_FALSE(images.empty());
    const Json seed = Json::parse(seedText);
    ASSERT_EQ(seed["encryptedFiles"].size(), declared.size() + images.size());
    for (const Json& record : seed["encryptedFiles"]) {
        const E2EECrypto::File file = E2EECrypto::openFile(keys, E2EEJSON::parse(record["manifest"].dump()));
        const std::string name = *file.metadata.member("name").stringValue();
        SCOPED_TRACE(name);
        const auto blob = service.driveDirectory("demo-nimbuscrate") / record["opaqueName"].get<std::string>();
        ASSERT_TRUE(std::filesystem::exists(blob));
        E2EECrypto::transformFile(blob, dir / "plain", file, false);
        if (images.contains(name)) {
            EXPECT_EQ(file.metadata.member("mime"), E2EEJSON("image/jpeg"));
            const std::string jpeg = readText(dir / "plain");
            const ImageTranscoder::Result decoded = ImageTranscoder::toPNG(bytesOf(jpeg), images[name]);
            EXPECT_EQ(decoded.outcome, ImageTranscoder::Outcome::png);
        } else {
            EXPECT_EQ(readText(dir / "plain"), declared[name]);
        }
        std::filesystem::remove(dir / "plain");
    }
    // The plain files of the account's legacy days stay.
    EXPECT_TRUE(std::filesystem::exists(service.driveDirectory("demo-nimbuscrate") / "Readme.txt"));
}

TEST(EncryptedSeed, ItemsThatCannotBeEncryptedAsAskedWriteNothing) {
    TemporaryDirectory dir;
    const std::pair<const char*, std::string> cases[] = {
        {"an unknown drive", R"({"drive": "elsewhere", "items": []})"},
        {"no items", R"({"drive": "demo-nimbuscrate"})"},
        {"a parent listed after its child",
         R"({"drive": "demo-nimbuscrate", "items": [{"path": "/A/b.txt", "text": "b"}, {"path": "/A", "folder": true}]})"},
        {"a file as a parent",
         R"({"drive": "demo-nimbuscrate", "items": [{"path": "/a.txt", "text": "a"}, {"path": "/a.txt/b.txt", "text": "b"}]})"},
        {"a relative path", R"({"drive": "demo-nimbuscrate", "items": [{"path": "A", "folder": true}]})"},
        {"a path given twice",
         R"({"drive": "demo-nimbuscrate", "items": [{"path": "/A", "folder": true}, {"path": "/A", "folder": true}]})"},
        {"a name the formats refuse", R"({"drive": "demo-nimbuscrate", "items": [{"path": "/ ", "folder": true}]})"},
        {"a file without text", R"({"drive": "demo-nimbuscrate", "items": [{"path": "/a.txt"}]})"},
    };
    for (const auto& [what, text] : cases) {
        SCOPED_TRACE(what);
        std::ofstream(dir / "items.json", std::ios::trunc) << text;
        EXPECT_ANY_THROW(e2eeseed::writeEncryptedSeed(DEMO_SEED, dir / "items.json", dir / "seed.json",
                                                      dir / "keys.json", dir / "unlock.json"));
        EXPECT_FALSE(std::filesystem::exists(dir / "seed.json"));
        EXPECT_FALSE(std::filesystem::exists(dir / "keys.json"));
        EXPECT_FALSE(std::filesystem::exists(dir / "unlock.json"));
    }
}

}  // namespace
}  // namespace nimbuscrate
