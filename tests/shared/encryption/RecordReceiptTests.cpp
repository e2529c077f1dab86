#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "shared/encryption/E2EEError.h"
#include "shared/encryption/RecordReceipt.h"
#include "tests/shared/encryption/Fixtures.h"

namespace nimbuscrate {
namespace {

using testing::expectE2EEError;
using testing::expectInvalid;

E2EEJSON signedRecord(const char* valueText) {
    return E2EEJSON::object({{"value", E2EEJSON::parse(valueText)}, {"signature", "sig"}});
}

TEST(encryption_RecordReceipt, FileRecordStoresThePreviousGenerationPlusOne) {
    E2EEJSON receipts = E2EEJSON::object();
    recordReceipt(signedRecord(R"({"nodeId":"n1","previousGeneration":4})"), true, receipts);
    EXPECT_EQ(receipts.member("file:n1").member("generation"), E2EEJSON(5));
    // Unpadded base64url SHA-256 of {"nodeId":"n1","previousGeneration":4},
    // computed once with Python's hashlib.
    EXPECT_EQ(receipts.member("file:n1").member("hash"), E2EEJSON("1MgbslQ42YIAvjRQB7SHYRVxxUT7d7MRS3qSFedKxsY"));
    // The node record of the same node is kept apart.
    recordReceipt(signedRecord(R"({"nodeId":"n1","generation":2})"), false, receipts);
    EXPECT_EQ(receipts.member("node:n1").member("generation"), E2EEJSON(2));
    EXPECT_EQ(receipts.member("file:n1").member("generation"), E2EEJSON(5));
}

TEST(encryption_RecordReceipt, HashIsOfTheCanonicalTextOfTheValueOnly) {
    // The hashes are the unpadded base64url SHA-256 of the UTF-8 canonical
    // texts, computed once with Python's hashlib (json.dumps with sorted keys
    // and no whitespace gives the same texts for these values).
    struct Case {
        const char* valueText;
        bool isFile;
        const char* key;
        std::int64_t generation;
        const char* canonical;
        const char* hash;
    };
    const std::vector<Case> cases = {
        {R"({"previousGeneration":4, "nodeId":"n1"})", true, "file:n1", 5, R"({"nodeId":"n1","previousGeneration":4})",
         "1MgbslQ42YIAvjRQB7SHYRVxxUT7d7MRS3qSFedKxsY"},
        {R"({"nodeId":"n1","generation":2})", false, "node:n1", 2, R"({"generation":2,"nodeId":"n1"})",
         "r_YnCtTntTqTFJBCkag0L_Tc4TdZ6s4-JJxhUDhTDWM"},
        {"{\"name\":\"caf\xc3\xa9\",\"nodeId\":\"n2\",\"generation\":9,\"parentId\":\"root\",\"deleted\":false,"
         "\"driveId\":null,\"tags\":[\"b\",\"a\"]}",
         false, "node:n2", 9,
         "{\"deleted\":false,\"driveId\":null,\"generation\":9,\"name\":\"caf\xc3\xa9\",\"nodeId\":\"n2\",\"parentId\":"
         "\"root\",\"tags\":[\"b\",\"a\"]}",
         "hHs9KNtN0Y8NAmfJLuSRrSpe8xG27Lm6ZSrOBA-sY5o"},
    };
    for (const auto& c : cases) {
        const E2EEJSON value = E2EEJSON::parse(c.valueText);
        EXPECT_EQ(value.canonicalString(), c.canonical) << c.key;
        // Another signature over the same value gives the same receipt.
        for (const char* signature : {"sig", "another signature"}) {
            E2EEJSON receipts = E2EEJSON::object();
            recordReceipt(E2EEJSON::object({{"value", value}, {"signature", signature}}), c.isFile, receipts);
            EXPECT_EQ(receipts, E2EEJSON::object({{c.key, E2EEJSON::object({{"generation", c.generation}, {"hash", c.hash}})}}))
                << c.key;
        }
    }
}

TEST(encryption_RecordReceipt, ReceiptsOnlyMoveForward) {
    E2EEJSON receipts = E2EEJSON::object();
    const E2EEJSON record = signedRecord(R"({"nodeId":"n1","generation":9,"name":"a"})");
    recordReceipt(record, false, receipts);
    const E2EEJSON after = receipts;
    recordReceipt(record, false, receipts);
    EXPECT_EQ(receipts, after) << "the same record twice changes nothing";
    // The same value with its members in another order has the same hash.
    recordReceipt(signedRecord(R"({"name":"a","generation":9,"nodeId":"n1"})"), false, receipts);
    EXPECT_EQ(receipts, after);

    recordReceipt(signedRecord(R"({"nodeId":"n1","generation":7})"), false, receipts);
    EXPECT_EQ(receipts, after) << "a lower generation leaves the stored receipt";

    expectE2EEError(E2EEError::Case::history,
                    [&] { recordReceipt(signedRecord(R"({"nodeId":"n1","generation":9,"name":"b"})"), false, receipts); });
    EXPECT_EQ(receipts, after);

    recordReceipt(signedRecord(R"({"nodeId":"n1","generation":10})"), false, receipts);
    EXPECT_EQ(receipts.member("node:n1").member("generation"), E2EEJSON(10));
}

TEST(encryption_RecordReceipt, MalformedInputIsInvalidAndChangesNothing) {
    const E2EEJSON stored = E2EEJSON::object({{"node:n1", E2EEJSON::object({{"generation", "9"}, {"hash", "h"}})}});
    struct Case {
        E2EEJSON record;
        bool isFile;
        E2EEJSON receipts;
        const char* label;
    };
    const std::vector<Case> cases = {
        {signedRecord(R"({"nodeId":5,"generation":1})"), false, E2EEJSON::object(), "numeric node id"},
        {E2EEJSON::object({{"signature", "s"}}), false, E2EEJSON::object(), "no value"},
        {signedRecord(R"([1])"), false, E2EEJSON::object(), "value not an object"},
        {E2EEJSON("record"), false, E2EEJSON::object(), "record not an object"},
        {signedRecord(R"({"nodeId":"n1"})"), false, E2EEJSON::object(), "no generation"},
        {signedRecord(R"({"nodeId":"n1","generation":"1"})"), false, E2EEJSON::object(), "generation as text"},
        {signedRecord(R"({"nodeId":"n1","generation":1})"), true, E2EEJSON::object(), "file without previousGeneration"},
        {signedRecord(R"({"nodeId":"n1","previousGeneration":9007199254740991})"), true, E2EEJSON::object(),
         "file generation beyond the safe range"},
        {signedRecord(R"({"nodeId":"n1","generation":3})"), false, stored, "stored receipt without a safe generation"},
        // Receipts that are not an object would record nothing and switch rollback protection off.
        {signedRecord(R"({"nodeId":"n1","generation":3})"), false, E2EEJSON::array(), "receipts an array"},
        {signedRecord(R"({"nodeId":"n1","generation":3})"), false, E2EEJSON(nullptr), "receipts null"},
    };
    for (const auto& c : cases) {
        E2EEJSON receipts = c.receipts;
        expectInvalid([&] { recordReceipt(c.record, c.isFile, receipts); }, c.label);
        EXPECT_EQ(receipts, c.receipts) << c.label;
    }
    // A value whose canonical text fails leaves the receipts unchanged too.
    E2EEJSON receipts = E2EEJSON::object();
    E2EEJSON value = E2EEJSON::object({{"nodeId", "n1"}, {"generation", 1}, {"bad", -1}});
    expectInvalid([&] { recordReceipt(E2EEJSON::object({{"value", value}}), false, receipts); });
    EXPECT_EQ(receipts, E2EEJSON::object());
}

}  // namespace
}  // namespace nimbuscrate
