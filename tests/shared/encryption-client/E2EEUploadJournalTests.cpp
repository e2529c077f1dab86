#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/core/AtomicFile.h"
#include "shared/encryption-client/E2EEUploadJournal.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/JSONReadError.h"
#include "tests/shared/encryption/Fixtures.h"
#include "tests/support/E2EERecordBuilder.h"
#include "tests/support/TemporaryDirectory.h"

namespace nimbuscrate {
namespace {

namespace fs = std::filesystem;
using testing::E2EERecordBuilder;
using testing::expectE2EEError;
using Case = E2EEError::Case;

mode_t permissions(const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return 0;
    return info.st_mode & 07777;
}

std::string fileText(const fs::path& path) {
    const auto bytes = readFileNoFollow(path);
    return bytes ? stringOf(*bytes) : std::string("<none>");
}

void writeText(const fs::path& path, const std::string& text) { writeFileAtomically(path, bytesOf(text)); }

std::vector<std::string> entries(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

E2EEJSON commitIdentity(const std::string& session = "SESSION-1", const E2EEJSON& node = nullptr) {
    return E2EEJSON::object({{"session", session},
                             {"account", "acct_1"},
                             {"drive", "drive-1"},
                             {"parent", "root"},
                             {"name", "Report ü.txt"},
                             {"node", node}});
}

class encryptionclient_UploadJournal : public ::testing::Test {
protected:
    fs::path root() const { return temporary.path() / "E2EE" / "Pending"; }

    E2EECrypto::Prepared prepare(const std::string& name = "report.txt") const {
        return E2EECrypto::prepareFile(builder.keys(), name, 12, "text/plain", 1'700'000'000'000, E2EEJSON("root"),
                                       std::nullopt, nullptr);
    }

    testing::TemporaryDirectory temporary;
    E2EERecordBuilder builder;
};

TEST_F(encryptionclient_UploadJournal, OpensAPrivateFolderNamedByTheIdentityAndWritesNothingUntilSaved) {
    const E2EEJSON identity = commitIdentity();
    const E2EEUploadJournal journal(root(), identity);

    // The key is the unpadded base64url SHA-256 of the canonical text (as the
    // openssl command line gives it for this text).
    EXPECT_EQ(identity.canonicalString(),
              R"({"account":"acct_1","drive":"drive-1","name":"Report ü.txt","node":null,"parent":"root",)"
              R"("session":"SESSION-1"})");
    EXPECT_EQ(journal.directory, root() / E2EEUploadJournal::operationKey(identity));
    EXPECT_EQ(journal.directory.filename().string().size(), 43u);
    EXPECT_EQ(journal.stateURL, journal.directory / "operation.json");
    EXPECT_EQ(permissions(journal.directory), 0700u);
    EXPECT_TRUE(entries(journal.directory).empty());
    EXPECT_EQ(journal.state, E2EEJSON::object({{"identity", identity}}));
    EXPECT_EQ(E2EEUploadJournal::pendingRoot(temporary.path() / "E2EE"), root());
}

TEST_F(encryptionclient_UploadJournal, OperationKeyMatchesAnIndependentDigest) {
    // printf '%s' '{"a":1}' | openssl dgst -sha256 -binary | basenc --base64url | tr -d '='
    EXPECT_EQ(E2EEUploadJournal::operationKey(E2EEJSON::object({{"a", 1}})),
              "AVq9f1zFei3ZS3WQ8ErYCEJzkF7jPsXOvq5iJ2qX-GI");
}

TEST_F(encryptionclient_UploadJournal, SavesCanonicalTextAndTheSameStateTwiceGivesTheSameBytes) {
    E2EEUploadJournal journal(root(), commitIdentity());
    journal.state.setMember("hash-1", "sourceHash");
    journal.state.setMember(E2EEJSON::object({{"manifest", E2EEJSON::object({{"z", 1}, {"a", "\n"}})}}), "main");
    journal.state.setMember(true, "done");
    journal.save();
    const std::string first = fileText(journal.stateURL);
    EXPECT_EQ(first, journal.state.canonicalString());
    EXPECT_EQ(first.find('\n'), std::string::npos);
    EXPECT_LT(first.find("\"done\""), first.find("\"identity\""));
    EXPECT_LT(first.find("\"identity\""), first.find("\"main\""));
    EXPECT_NE(first.find(R"("a":"\n","z":1)"), std::string::npos);

    journal.save();
    EXPECT_EQ(fileText(journal.stateURL), first);
    // A second journal object of the same operation writes the same bytes too.
    const E2EEUploadJournal reopened(root(), commitIdentity());
    reopened.save();
    EXPECT_EQ(fileText(journal.stateURL), first);
    // Nothing but the state file: the temporary file was renamed into place.
    EXPECT_EQ(entries(journal.directory), std::vector<std::string>{"operation.json"});
}

TEST_F(encryptionclient_UploadJournal, ReopeningTheSameIdentityFindsItsStateAndAnyOtherMemberStartsAnew) {
    {
        E2EEUploadJournal journal(root(), commitIdentity());
        journal.state.setMember("hash-1", "sourceHash");
        journal.save();
    }
    // The same members in another order are the same identity.
    const E2EEJSON reordered = E2EEJSON::object({{"node", nullptr},
                                                 {"name", "Report ü.txt"},
                                                 {"parent", "root"},
                                                 {"drive", "drive-1"},
                                                 {"account", "acct_1"},
                                                 {"session", "SESSION-1"}});
    const E2EEUploadJournal again(root(), reordered);
    EXPECT_EQ(again.state.member("sourceHash"), E2EEJSON("hash-1"));

    struct Variant {
        const char* label;
        E2EEJSON identity;
    };
    const std::vector<Variant> variants = {
        {"a new sign-in", commitIdentity("SESSION-2")},
        {"an existing node", commitIdentity("SESSION-1", "node-1")},
        {"another parent",
         [] {
             E2EEJSON identity = commitIdentity();
             identity.setMember("folder-1", "parent");
             return identity;
         }()},
    };
    for (const Variant& variant : variants) {
        SCOPED_TRACE(variant.label);
        const E2EEUploadJournal other(root(), variant.identity);
        EXPECT_NE(other.directory, again.directory);
        EXPECT_EQ(other.state, E2EEJSON::object({{"identity", variant.identity}}));
    }
}

TEST_F(encryptionclient_UploadJournal, AStoredStateOfAnotherIdentityIsInvalid) {
    const E2EEJSON identity = commitIdentity();
    const fs::path directory = root() / E2EEUploadJournal::operationKey(identity);
    fs::create_directories(directory);
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"another identity", E2EEJSON::object({{"identity", commitIdentity("SESSION-9")}}).canonicalString()},
        {"no identity", R"({"sourceHash":"x"})"},
        {"not an object", R"([1,2])"},
    };
    for (const auto& [label, text] : cases) {
        writeText(directory / "operation.json", text);
        expectE2EEError(Case::invalid, [&] { E2EEUploadJournal journal(root(), identity); }, label);
        // Nothing was changed: every later open fails the same way.
        EXPECT_EQ(fileText(directory / "operation.json"), text);
    }
}

TEST_F(encryptionclient_UploadJournal, AStateFileThatIsNotJSONFailsWithTheDecodersError) {
    const E2EEJSON identity = commitIdentity();
    const fs::path directory = root() / E2EEUploadJournal::operationKey(identity);
    fs::create_directories(directory);
    writeText(directory / "operation.json", "{\"identity\":");
    EXPECT_THROW(E2EEUploadJournal(root(), identity), JSONReadError);
}

TEST_F(encryptionclient_UploadJournal, AnIdentityWithoutACanonicalTextIsInvalidBeforeAnythingIsCreated) {
    const E2EEJSON identity = E2EEJSON::object({{"session", std::int64_t{1} << 53}});
    expectE2EEError(Case::invalid, [&] { E2EEUploadJournal journal(root(), identity); });
    EXPECT_FALSE(fs::exists(root()));
}

TEST_F(encryptionclient_UploadJournal, ResetRemovesTheStagedFilesAndKeepsOnlyTheIdentity) {
    const E2EEJSON identity = commitIdentity();
    E2EEUploadJournal journal(root(), identity);
    journal.state.setMember("hash-1", "sourceHash");
    journal.state.setMember(E2EEJSON::object({{"manifest", "m"}, {"completing", true}}), "main");
    journal.save();
    writeText(journal.directory / "main.nbenc", "main ciphertext");
    writeText(journal.directory / "preview.nbenc", "preview ciphertext");

    journal.reset();
    EXPECT_EQ(journal.state, E2EEJSON::object({{"identity", identity}}));
    EXPECT_EQ(fileText(journal.stateURL), journal.state.canonicalString());
    EXPECT_EQ(entries(journal.directory), std::vector<std::string>{"operation.json"});

    // Again, with nothing staged: still no error, same bytes.
    const std::string text = fileText(journal.stateURL);
    journal.reset();
    EXPECT_EQ(fileText(journal.stateURL), text);
}

TEST_F(encryptionclient_UploadJournal, OpeningAnExistingOperationKeepsItsStagedFiles) {
    const E2EEJSON identity = commitIdentity();
    {
        E2EEUploadJournal journal(root(), identity);
        writeText(journal.directory / "main.nbenc", "staged");
    }
    const E2EEUploadJournal journal(root(), identity);
    EXPECT_EQ(fileText(journal.directory / "main.nbenc"), "staged");
}

TEST_F(encryptionclient_UploadJournal, RebuildsAPreparedRevisionFromTheStoredManifest) {
    const E2EECrypto::Prepared original = prepare();
    E2EEUploadJournal journal(root(), commitIdentity());
    journal.state.setMember(E2EEJSON::object({{"manifest", original.manifest}}), "main");
    journal.save();

    const E2EEUploadJournal reopened(root(), commitIdentity());
    const E2EECrypto::Prepared rebuilt = reopened.prepared("main", builder.keys());
    EXPECT_EQ(rebuilt.manifest, original.manifest);
    EXPECT_EQ(rebuilt.opaqueName, original.opaqueName);
    EXPECT_EQ(rebuilt.file.value, original.file.value);
    EXPECT_EQ(rebuilt.file.metadata, original.file.metadata);
    EXPECT_TRUE(rebuilt.file.key == original.file.key);
    EXPECT_EQ(rebuilt.file.aad, original.file.aad);
}

TEST_F(encryptionclient_UploadJournal, APreparedRevisionThatIsMissingOrDoesNotOpenIsInvalid) {
    E2EERecordBuilder stranger;  // another account's keys
    const E2EECrypto::Prepared foreign = E2EECrypto::prepareFile(stranger.keys(), "x.txt", 1, "text/plain", 0,
                                                                 E2EEJSON("root"), std::nullopt, nullptr);
    E2EEUploadJournal journal(root(), commitIdentity());
    journal.state.setMember(E2EEJSON::object({{"manifest", foreign.manifest}}), "main");
    journal.state.setMember(E2EEJSON::object({{"entry", nullptr}}), "preview");
    journal.state.setMember("not an object", "r2Stored");
    for (const char* step : {"main", "preview", "r2Stored", "absent"}) {
        expectE2EEError(Case::invalid, [&] { (void)journal.prepared(step, builder.keys()); }, step);
    }
}

}  // namespace
}  // namespace nimbuscrate
