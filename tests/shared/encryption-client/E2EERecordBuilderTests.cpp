// The record builder that the client and service tests sign their records
// with: everything it builds must pass the project's own verification.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/E2EELibrary.h"
#include "tests/shared/encryption/Fixtures.h"
#include "tests/support/E2EERecordBuilder.h"

namespace nimbuscrate {
namespace {

using testing::E2EERecordBuilder;
using testing::expectInvalid;

const E2EEJSON* findItem(const E2EELibrary::Snapshot& snapshot, const std::string& nodeId) {
    for (const auto& item : snapshot.items) {
        if (item.member("nodeId") == E2EEJSON(nodeId)) return &item;
    }
    return nullptr;
}

TEST(encryptionclient_RecordBuilder, KeySetBelongsToItsKeyRecordOnly) {
    const E2EERecordBuilder builder("acct-A_1");
    const E2EERecordBuilder other("acct-A_1");

    EXPECT_NO_THROW(E2EECrypto::verifyKeyRecord(builder.keys(), builder.keyRecord()));
    EXPECT_EQ(E2EEJSON::parse(stringOf(builder.keysBytes())), builder.keys());
    EXPECT_EQ(builder.keys().member("accountId"), E2EEJSON("acct-A_1"));
    // Same account id, another key pair: the key record is not this key set's.
    expectInvalid([&] { E2EECrypto::verifyKeyRecord(other.keys(), builder.keyRecord()); }, "another key pair");
    EXPECT_NO_THROW(E2EECrypto::publicKeyFromJWK(builder.publicKey()));
    EXPECT_TRUE(builder.publicKey().member("d").isNull());
}

TEST(encryptionclient_RecordBuilder, AccountRecordHasTheAccountShape) {
    const E2EERecordBuilder builder("acct_7");
    const E2EEJSON account = builder.accountRecord();
    EXPECT_EQ(E2EECrypto::validatedIdentifier(account.member("accountId")), "acct_7");
    EXPECT_EQ(account.member("format"), E2EEJSON("nimbuscrate-tink-aes256-v1"));
    EXPECT_EQ(account.member("mode"), E2EEJSON("required"));
    EXPECT_EQ(account.member("onboardingRequired"), E2EEJSON(false));
    EXPECT_EQ(account.member("keyRecord"), builder.keyRecord());
    EXPECT_EQ(account.member("ownedDriveIds"), E2EEJSON::array({"drive-1"}));
    EXPECT_EQ(account.member("primaryDriveId"), E2EEJSON("drive-1"));
    EXPECT_NO_THROW(E2EECrypto::verifyKeyRecord(builder.keys(), account.member("keyRecord")));
    // What the service stores and serves is the canonical text; it reads back equal.
    EXPECT_EQ(E2EEJSON::parse(account.canonicalString()), account);

    E2EERecordBuilder::AccountSpec spec;
    spec.mode = "legacy";
    spec.onboardingRequired = true;
    spec.withKeyRecord = false;
    spec.ownedDriveIds = {"d1", "d2"};
    spec.primaryDriveId = nullptr;
    const E2EEJSON bare = builder.accountRecord(spec);
    EXPECT_EQ(bare.member("mode"), E2EEJSON("legacy"));
    EXPECT_EQ(bare.member("onboardingRequired"), E2EEJSON(true));
    EXPECT_TRUE(bare.objectValue()->count("keyRecord"));  // present, as null
    EXPECT_TRUE(bare.member("keyRecord").isNull());
    EXPECT_EQ(bare.member("ownedDriveIds"), E2EEJSON::array({"d1", "d2"}));
    EXPECT_TRUE(bare.member("primaryDriveId").isNull());

    EXPECT_EQ(builder.identityRecord(false), E2EEJSON::object({{"publicKey", builder.publicKey()}}));
    EXPECT_EQ(builder.identityRecord(true).member("required"), E2EEJSON(true));
}

TEST(encryptionclient_RecordBuilder, NodeRecordsOpenWithTheirMembers) {
    const E2EERecordBuilder builder;
    struct Case {
        const char* label;
        E2EERecordBuilder::NodeSpec spec;
    };
    const std::vector<Case> cases = {
        {"top folder with a drive", {"n1", "folder", "root", 1, "Docs", false, false, "drive-1", "op1"}},
        {"file at generation 9", {"n2", "file", "n1", 9, "r\xC3\xA9sum\xC3\xA9.txt", false, false, nullptr, "op2"}},
        {"tombstone", {"n3", "file", "n1", 4, "gone.txt", true, false, nullptr, "op3"}},
        {"purged folder", {"n4", "folder", "root", 2, "Old", true, true, nullptr, "op4"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const E2EEJSON record = builder.nodeRecord(c.spec);
        const E2EEJSON node = E2EECrypto::openNode(builder.keys(), record);
        EXPECT_EQ(node.member("nodeId"), E2EEJSON(c.spec.nodeId));
        EXPECT_EQ(node.member("parentId"), E2EEJSON(c.spec.parentId));
        EXPECT_EQ(node.member("kind"), E2EEJSON(c.spec.kind));
        EXPECT_EQ(node.member("generation"), E2EEJSON(c.spec.generation));
        EXPECT_EQ(node.member("deleted"), E2EEJSON(c.spec.deleted));
        EXPECT_EQ(node.member("purged"), E2EEJSON(c.spec.purged));
        EXPECT_EQ(node.member("name"), E2EEJSON(c.spec.name));
        EXPECT_EQ(node.member("driveId"), c.spec.driveId);
        // Another body each time: the same generation signed twice differs.
        EXPECT_NE(builder.nodeRecord(c.spec).member("value"), record.member("value"));
        // Only this account's keys open it.
        expectInvalid([&] { E2EECrypto::openNode(E2EERecordBuilder().keys(), record); }, "foreign key");
    }
}

TEST(encryptionclient_RecordBuilder, FileRecordsOpenAndMatchTheirManifest) {
    const E2EERecordBuilder builder;
    E2EERecordBuilder::FileSpec spec;
    spec.nodeId = "f1";
    spec.parentId = "n1";
    spec.name = "Report.pdf";
    spec.revisionId = "rev-3";
    spec.previousGeneration = 2;
    spec.previousRevisionId = "rev-2";
    spec.size = 70000;
    spec.mime = "application/pdf";
    spec.modified = 1700000000123;
    spec.embeddedGeneration = 5;
    spec.driveId = "drive-2";

    const E2EEJSON record = builder.fileRecord(spec);
    const E2EECrypto::File file = E2EECrypto::openFile(builder.keys(), record.member("manifest"));
    EXPECT_NO_THROW(E2EECrypto::verifyCommit(record, file));
    EXPECT_EQ(record.member("generation"), E2EEJSON(3));
    EXPECT_EQ(record.member("driveId"), E2EEJSON("drive-2"));
    EXPECT_EQ(record.member("parentItemId"), E2EEJSON("drive-2"));
    EXPECT_EQ(record.member("current"), E2EEJSON(true));
    EXPECT_EQ(file.metadata, E2EEJSON::object({{"name", "Report.pdf"},
                                               {"size", 70000},
                                               {"mime", "application/pdf"},
                                               {"modified", 1700000000123}}));
    EXPECT_EQ(file.value.member("previousRevisionId"), E2EEJSON("rev-2"));

    const E2EEJSON embedded = E2EECrypto::openNode(builder.keys(), file.value.member("node"));
    EXPECT_EQ(embedded.member("generation"), E2EEJSON(5));
    EXPECT_EQ(embedded.member("kind"), E2EEJSON("file"));
    EXPECT_EQ(embedded.member("name"), E2EEJSON("Report.pdf"));
    EXPECT_EQ(embedded.member("parentId"), E2EEJSON("n1"));

    spec.embeddedGeneration.reset();
    EXPECT_TRUE(builder.fileRecord(spec).member("manifest").member("value").member("node").isNull());
}

// A small library of folders, files, a new revision, a tombstone and an
// erased folder, built into a snapshot against the full account record.
TEST(encryptionclient_RecordBuilder, LibraryBuildsIntoASnapshot) {
    const E2EERecordBuilder builder("acct_9");
    using Node = E2EERecordBuilder::NodeSpec;
    using FileSpec = E2EERecordBuilder::FileSpec;

    std::vector<E2EEJSON> nodes = {
        builder.nodeListing(Node{"docs", "folder", "root", 1, "Docs", false, false, nullptr, "o1"}),
        builder.nodeListing(Node{"old", "folder", "root", 3, "Old", true, true, nullptr, "o2"}, true),
        builder.nodeListing(Node{"f-old", "file", "old", 1, "in-old.txt", false, false, nullptr, "o3"}),
        builder.nodeListing(Node{"f-gone", "file", "docs", 2, "gone.txt", true, false, nullptr, "o4"}),
    };
    FileSpec report;
    report.nodeId = "f-report";
    report.parentId = "docs";
    report.name = "report.txt";
    report.revisionId = "r2";
    report.previousGeneration = 1;
    report.previousRevisionId = "r1";
    report.embeddedGeneration = 2;
    const E2EEJSON reportRecord = builder.fileRecord(report);
    // The node listing carries the same record as the manifest embeds.
    nodes.push_back(E2EERecordBuilder::listing(reportRecord.member("manifest").member("value").member("node")));

    FileSpec inOld;
    inOld.nodeId = "f-old";
    inOld.parentId = "old";
    inOld.name = "in-old.txt";
    inOld.revisionId = "r1";
    inOld.embeddedGeneration.reset();  // its node is listed on its own
    FileSpec gone;
    gone.nodeId = "f-gone";
    gone.parentId = "docs";
    gone.name = "gone.txt";
    gone.revisionId = "r1";
    const std::vector<E2EEJSON> files = {reportRecord, builder.fileRecord(inOld), builder.fileRecord(gone)};

    const auto snapshot = E2EELibrary::snapshot(builder.keys(), files, nodes, builder.accountRecord());
    ASSERT_EQ(snapshot.items.size(), 5u);
    const E2EEJSON* docs = findItem(snapshot, "docs");
    const E2EEJSON* file = findItem(snapshot, "f-report");
    const E2EEJSON* old = findItem(snapshot, "f-old");
    const E2EEJSON* tomb = findItem(snapshot, "f-gone");
    ASSERT_TRUE(docs && file && old && tomb);
    EXPECT_EQ(docs->member("path"), E2EEJSON("/Docs"));
    EXPECT_EQ(docs->member("driveId"), E2EEJSON("drive-1"));
    EXPECT_EQ(file->member("path"), E2EEJSON("/Docs/report.txt"));
    EXPECT_EQ(file->member("generation"), E2EEJSON(2));
    EXPECT_EQ(file->member("entry"), reportRecord);
    EXPECT_EQ(file->member("effectiveDeleted"), E2EEJSON(false));
    EXPECT_EQ(old->member("effectiveDeleted"), E2EEJSON(true));
    EXPECT_EQ(tomb->member("effectiveDeleted"), E2EEJSON(true));

    const E2EEJSON& receipts = snapshot.receipts;
    EXPECT_EQ(receipts.member("file:f-report").member("generation"), E2EEJSON(2));
    EXPECT_EQ(receipts.member("node:f-report").member("generation"), E2EEJSON(2));
    EXPECT_EQ(receipts.member("node:old").member("generation"), E2EEJSON(3));
    EXPECT_EQ(receipts.objectValue()->size(), 8u);  // five nodes and three files
    const RemoteItem item = E2EELibrary::remoteItem(*file, builder.accountId());
    EXPECT_EQ(item.id, "e2ee:acct_9:f-report");
    EXPECT_EQ(item.parentID, "e2ee:acct_9:docs");
}

}  // namespace
}  // namespace nimbuscrate
