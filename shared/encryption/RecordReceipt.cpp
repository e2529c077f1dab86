#include "shared/encryption/RecordReceipt.h"

#include "platform/core/Bytes.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"

namespace nimbuscrate {

void recordReceipt(const E2EEJSON& record, bool isFile, E2EEJSON& receipts) {
    // Receipts that are not an object would silently record nothing and so
    // switch rollback protection off.
    if (!receipts.isObject()) throw E2EEError::invalid();
    const E2EEJSON& value = record.member("value");
    const std::string* nodeId = value.member("nodeId").stringValue();
    if (!record.isObject() || !value.isObject() || nodeId == nullptr) throw E2EEError::invalid();
    const std::string key = (isFile ? "file:" : "node:") + *nodeId;

    std::int64_t generation = 0;
    if (isFile) {
        generation = value.member("previousGeneration").safeInteger() + 1;
        // A receipt must stay writable as canonical text.
        if (generation > E2EEJSON::kMaxSafeInteger) throw E2EEError::invalid();
    } else {
        generation = value.member("generation").safeInteger();
    }
    const std::string hash = E2EECrypto::sha256Base64URL(bytesOf(value.canonicalString()));
    const E2EEJSON receipt = E2EEJSON::object({{"generation", generation}, {"hash", hash}});

    const E2EEJSON& existing = receipts.member(key);
    if (existing.isNull()) {
        receipts.setMember(receipt, key);
        return;
    }
    if (existing.member("generation") == E2EEJSON(generation)) {
        if (!(existing.member("hash") == E2EEJSON(hash))) throw E2EEError::history();
        receipts.setMember(receipt, key);
        return;
    }
    if (!existing.isObject()) throw E2EEError::invalid();
    const std::int64_t stored = existing.member("generation").safeInteger();
    if (generation > stored) receipts.setMember(receipt, key);
}

}  // namespace nimbuscrate
