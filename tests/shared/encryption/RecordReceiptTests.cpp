#include <gtest/gtest.h>

#include "shared/encryption/E2EECrypto.h"
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

std::string hashOf(const char* valueText) {
    return E2EECrypto::sha256Base64URL(bytesOf(E2EEJSON::parse(valueText).canonicalString()));
}

TEST(encryption_RecordReceipt, FileRecordStoresThePreviousGenerationPlusOne) {
    E2EEJSON receipts = E2EEJSON::object();
    recordReceipt(signedRecord(R"({"nodeId":"n1","previousGeneration":4})"), true, receipts);
    EXPECT_EQ(receipts.member("file:n1").member("generation"), E2EEJSON(5));
    EXPECT_EQ(receipts.member("file:n1").member("hash"), E2EEJSON(hashOf(R"({"nodeId":"n1","previousGeneration":4})")));
    // The node record of the same node is kept apart.
    recordReceipt(signedRecord(R"({"nodeId":"n1","generation":2})"), false, receipts);
    EXPECT_EQ(receipts.member("node:n1").member("generation"), E2EEJSON(2));
    EXPECT_EQ(receipts.member("file:n1").member("generation"), E2EEJSON(5));
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
