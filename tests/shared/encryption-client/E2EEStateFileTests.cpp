#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/AtomicFile.h"
#include "platform/core/DataPaths.h"
#include "platform/core/PlatformError.h"
#include "shared/encryption-client/E2EEStateFile.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/E2EELibrary.h"
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
using Node = E2EERecordBuilder::NodeSpec;
using FileSpec = E2EERecordBuilder::FileSpec;

mode_t permissions(const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return 0;
    return info.st_mode & 07777;
}

std::string fileText(const fs::path& path) {
    const auto bytes = readFileNoFollow(path);
    return bytes ? stringOf(*bytes) : std::string("<none>");
}

std::vector<std::string> entries(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
    return names;
}

class encryptionclient_StateFile : public ::testing::Test {
protected:
    E2EEJSON node(const std::string& id, std::int64_t generation, const std::string& kind = "folder",
                  const std::string& parent = "root") const {
        Node spec;
        spec.nodeId = id;
        spec.kind = kind;
        spec.parentId = parent;
        spec.generation = generation;
        spec.name = "name-" + id;
        return builder_.nodeRecord(spec);
    }

    // A file record of node id at file generation previousGeneration + 1,
    // embedding its node record at nodeGeneration.
    E2EEJSON fileRecord(const std::string& id, std::int64_t previousGeneration, std::int64_t nodeGeneration,
                        const std::string& parent = "root") const {
        FileSpec spec;
        spec.nodeId = id;
        spec.parentId = parent;
        spec.name = "name-" + id;
        spec.revisionId = "rev" + std::to_string(previousGeneration + 1);
        spec.previousGeneration = previousGeneration;
        spec.previousRevisionId = previousGeneration == 0 ? "" : "rev" + std::to_string(previousGeneration);
        spec.embeddedGeneration = nodeGeneration;
        return builder_.fileRecord(spec);
    }

    static E2EEJSON receipt(const E2EEJSON& record, std::int64_t generation) {
        return E2EEJSON::object(
            {{"generation", generation},
             {"hash", E2EECrypto::sha256Base64URL(bytesOf(record.member("value").canonicalString()))}});
    }

    E2EELibrary::Snapshot snapshot(const std::vector<E2EEJSON>& files, const std::vector<E2EEJSON>& nodes) const {
        return E2EELibrary::snapshot(builder_.keys(), files, nodes, builder_.accountRecord());
    }

    testing::TemporaryDirectory temp_;
    const fs::path directory_ = temp_.path() / "container" / "Nimbuscrate" / "E2EE";
    const E2EERecordBuilder builder_;
    const E2EEJSON account_ = "acct_1";
    const fs::path file_ = directory_ / "acct_1.json";
};

TEST_F(encryptionclient_StateFile, AccountFileLivesInAPrivateFolder) {
    const E2EEStateFile state(directory_);
    EXPECT_EQ(state.url(account_), file_);
    EXPECT_EQ(permissions(directory_), 0700u);
    EXPECT_EQ(permissions(directory_.parent_path()), 0700u);
    EXPECT_FALSE(fs::exists(file_));  // locating the file does not create it
    EXPECT_EQ(state.read(account_), E2EEJSON::object());
    EXPECT_EQ(E2EEStateFile::defaultDirectory(), containerDirectory() / "Nimbuscrate" / "E2EE");

    const struct {
        const char* label;
        E2EEJSON accountId;
    } bad[] = {
        {"empty", ""},
        {"parent folder", "../acct_1"},
        {"dot", "acct.1"},
        {"slash", "a/b"},
        {"129 characters", std::string(129, 'a')},
        {"integer", 5},
        {"null", nullptr},
    };
    const fs::path fresh = temp_.path() / "fresh";
    for (const auto& c : bad) {
        SCOPED_TRACE(c.label);
        const E2EEStateFile other(fresh);
        expectE2EEError(Case::invalid, [&] { other.url(c.accountId); });
        expectE2EEError(Case::invalid, [&] { other.update(c.accountId, node("n1", 1), false); });
        EXPECT_FALSE(fs::exists(fresh));  // nothing is created for a refused id
    }
}

TEST_F(encryptionclient_StateFile, OwnRecordsAreMergedAndWrittenWhole) {
    const E2EEStateFile state(directory_);
    const E2EEJSON n1 = node("n1", 1);
    state.update(account_, n1, false);
    EXPECT_EQ(state.read(account_), E2EEJSON::object({{"node:n1", receipt(n1, 1)}}));

    // A committed manifest brings its own receipt and its embedded node's.
    const E2EEJSON f1 = fileRecord("f1", 2, 4);
    state.update(account_, f1.member("manifest"), true);
    const E2EEJSON embedded = f1.member("manifest").member("value").member("node");
    // A newer node record replaces the receipt; an older one leaves it.
    const E2EEJSON n1second = node("n1", 2);
    state.update(account_, n1second, false);
    state.update(account_, node("n1", 1), false);

    const E2EEJSON expected = E2EEJSON::object({
        {"node:n1", receipt(n1second, 2)},
        {"file:f1", receipt(f1.member("manifest"), 3)},
        {"node:f1", receipt(embedded, 4)},
    });
    EXPECT_EQ(state.read(account_), expected);
    // The file is the canonical text, private to the user, with no temporary left beside it.
    EXPECT_EQ(fileText(file_), expected.canonicalString());
    EXPECT_EQ(permissions(file_), 0600u);
    EXPECT_EQ(entries(directory_), std::vector<std::string>{"acct_1.json"});
    // Another account has its own file.
    EXPECT_EQ(state.read("acct_2"), E2EEJSON::object());
}

TEST_F(encryptionclient_StateFile, RefusedRecordsLeaveTheFileAsItWas) {
    const E2EEStateFile state(directory_);
    const E2EEJSON f1 = fileRecord("f1", 0, 1);
    state.update(account_, node("n1", 3), false);
    state.update(account_, f1.member("manifest"), true);
    const std::string before = fileText(file_);

    E2EEJSON noNodeId = node("n2", 1);
    noNodeId.setMember(E2EEJSON::object({{"generation", 1}}), "value");
    const struct {
        const char* label;
        Case expected;
        E2EEJSON record;
        bool file;
    } cases[] = {
        {"same generation, another body", Case::history, node("n1", 3), false},
        // Its own receipt is new, but its embedded node clashes: neither is kept.
        {"manifest whose embedded node clashes", Case::history, fileRecord("f1", 1, 1).member("manifest"), true},
        {"record without a node id", Case::invalid, noNodeId, false},
        {"not a record", Case::invalid, E2EEJSON("text"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        expectE2EEError(c.expected, [&] { state.update(account_, c.record, c.file); });
        EXPECT_EQ(fileText(file_), before);
    }
}

// A fresh client over the same state directory (a new E2EEStateFile, as after
// a restart) catches a server that serves an older library.
TEST_F(encryptionclient_StateFile, FreshClientDetectsARollback) {
    const E2EEJSON docs = builder_.nodeListing(Node{"docs", "folder", "root", 2, "Docs", false, false, nullptr, "o1"});
    const E2EEJSON extra = builder_.nodeListing(Node{"extra", "folder", "root", 1, "Extra", false, false, nullptr, "o2"});
    const E2EEJSON report = fileRecord("report", 1, 2, "docs");
    const E2EEJSON reportNode = E2EERecordBuilder::listing(report.member("manifest").member("value").member("node"));
    const auto accepted = snapshot({report}, {docs, extra, reportNode});
    E2EEStateFile(directory_).accept(account_, accepted.receipts);
    const std::string before = fileText(file_);
    EXPECT_EQ(before, accepted.receipts.canonicalString());

    const E2EEJSON docsOlder = builder_.nodeListing(Node{"docs", "folder", "root", 1, "Docs", false, false, nullptr, "o1"});
    const E2EEJSON docsResigned =
        builder_.nodeListing(Node{"docs", "folder", "root", 2, "Docs", false, false, nullptr, "o1"});
    const E2EEJSON reportOlder = fileRecord("report", 0, 1, "docs");
    const struct {
        const char* label;
        std::vector<E2EEJSON> files;
        std::vector<E2EEJSON> nodes;
    } rollbacks[] = {
        {"folder at an older generation", {report}, {docsOlder, extra, reportNode}},
        {"folder dropped from the listing", {report}, {docs, reportNode}},
        {"folder re-signed with another body", {report}, {docsResigned, extra, reportNode}},
        {"file at an older revision",
         {reportOlder},
         {docs, extra, E2EERecordBuilder::listing(reportOlder.member("manifest").member("value").member("node"))}},
        {"file dropped from the listing", {}, {docs, extra, reportNode}},
    };
    for (const auto& c : rollbacks) {
        SCOPED_TRACE(c.label);
        const auto served = snapshot(c.files, c.nodes);  // each listing is sound on its own
        const E2EEStateFile fresh(directory_);
        expectE2EEError(Case::history, [&] { fresh.accept(account_, served.receipts); });
        EXPECT_EQ(fileText(file_), before);
    }

    // A listing that moves forward (a newer folder, a new one) is accepted and
    // the file then holds exactly its receipts.
    const E2EEJSON docsNewer = builder_.nodeListing(Node{"docs", "folder", "root", 3, "Docs", false, false, nullptr, "o9"});
    const E2EEJSON added = builder_.nodeListing(Node{"added", "folder", "root", 1, "Added", false, false, nullptr, "o3"});
    const auto forward = snapshot({report}, {docsNewer, extra, reportNode, added});
    E2EEStateFile(directory_).accept(account_, forward.receipts);
    EXPECT_EQ(fileText(file_), forward.receipts.canonicalString());
    expectE2EEError(Case::invalid, [&] { E2EEStateFile(directory_).accept(account_, E2EEJSON::array()); });
    EXPECT_EQ(fileText(file_), forward.receipts.canonicalString());
}

TEST_F(encryptionclient_StateFile, UnreadableStateFailsAndIsKept) {
    const E2EEStateFile state(directory_);
    state.url(account_);
    const struct {
        const char* label;
        std::string content;
        bool invalid;  // E2EEError::invalid, else the reader's own error
    } stored[] = {
        {"not JSON", "{\"node:n1\":", false},
        {"a fractional number", "{\"node:n1\":{\"generation\":1.5,\"hash\":\"x\"}}", false},
        {"an array", "[]", true},
        {"a receipt without a generation", "{\"node:n1\":{\"hash\":\"x\"}}", true},
    };
    // Receipts that would be accepted over any sound stored receipt of n1.
    const E2EEJSON newer = E2EEJSON::object({{"node:n1", receipt(node("n1", 2), 2)}});
    for (const auto& c : stored) {
        SCOPED_TRACE(c.label);
        writeFileAtomically(file_, bytesOf(c.content));
        if (c.invalid) {
            expectE2EEError(Case::invalid, [&] { state.update(account_, node("n1", 2), false); });
            expectE2EEError(Case::invalid, [&] { state.accept(account_, newer); });
        } else {
            EXPECT_THROW(state.update(account_, node("n1", 2), false), JSONReadError);
            EXPECT_THROW(state.accept(account_, newer), JSONReadError);
        }
        EXPECT_EQ(fileText(file_), c.content);
    }

    // A link planted in the file's place is not followed, read or replaced.
    const fs::path target = temp_.path() / "elsewhere.json";
    writeFileAtomically(target, bytesOf("{}"));
    fs::remove(file_);
    fs::create_symlink(target, file_);
    EXPECT_THROW(state.read(account_), PlatformError);
    EXPECT_THROW(state.update(account_, node("n1", 1), false), PlatformError);
    EXPECT_THROW(state.accept(account_, E2EEJSON::object()), PlatformError);
    EXPECT_TRUE(fs::is_symlink(file_));
    EXPECT_EQ(fileText(target), "{}");
}

TEST_F(encryptionclient_StateFile, ConcurrentUpdatesKeepEveryReceipt) {
    constexpr int kThreads = 8;
    constexpr int kRecords = 6;
    std::vector<std::vector<E2EEJSON>> records(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        for (int r = 0; r < kRecords; ++r) records[t].push_back(node("n" + std::to_string(t) + "x" + std::to_string(r), 1));
    }
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                const E2EEStateFile state(directory_);  // one object per thread, one folder
                for (const auto& record : records[t]) state.update(account_, record, false);
            });
        }
    }
    const E2EEJSON stored = E2EEStateFile(directory_).read(account_);
    ASSERT_TRUE(stored.isObject());
    EXPECT_EQ(stored.objectValue()->size(), static_cast<std::size_t>(kThreads * kRecords));
    for (int t = 0; t < kThreads; ++t) {
        for (const auto& record : records[t]) {
            EXPECT_EQ(stored.member("node:" + *record.member("value").member("nodeId").stringValue()), receipt(record, 1));
        }
    }
}

}  // namespace
}  // namespace nimbuscrate
