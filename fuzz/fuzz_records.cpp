// Feeds arbitrary bytes to the record openers under fixed keys: the first
// byte chooses the opener, the rest is its input. Every refusal must be an
// E2EEError, a CryptoError or (for JSON text) a JSONReadError.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "shared/encryption/CryptoError.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/JSONReadError.h"
#include "shared/encryption/P256SigningKey.h"

using namespace nimbuscrate;

namespace {

// The public key of the private scalar 1 (the generator point) as a JWK.
const E2EEJSON& publicJWK() {
    static const E2EEJSON jwk = [] {
        Bytes scalar(32, 0);
        scalar.back() = 1;
        const Bytes point = P256SigningKey::fromRawRepresentation(scalar).publicKeyX963();
        return E2EEJSON::object({
            {"kty", "EC"},
            {"crv", "P-256"},
            {"ext", true},
            {"key_ops", E2EEJSON::array({"verify"})},
            {"x", E2EECrypto::base64URLEncode(ByteView(point).subspan(1, 32))},
            {"y", E2EECrypto::base64URLEncode(ByteView(point).subspan(33, 32))},
        });
    }();
    return jwk;
}

const Bytes kKey(32, 0x11);

void run(std::uint8_t selector, std::string_view input) {
    switch (selector % 3) {
        case 0: {
            const E2EEJSON record = E2EEJSON::parse(input);
            E2EECrypto::verifyRecord(publicJWK(), record);
            break;
        }
        case 1: {
            const E2EEJSON envelope = E2EEJSON::parse(input);
            const Bytes aad = E2EECrypto::associatedData("acct", "node", "rev", "metadata");
            const SecretBytes plaintext = E2EECrypto::openEnvelope(kKey, envelope, aad, 64);
            if (plaintext.size() > 64) std::abort();
            break;
        }
        case 2: {
            const ByteView payload(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
            const std::int64_t size = static_cast<std::int64_t>(payload.size()) - 56;
            E2EECrypto::File file;
            file.metadata = E2EEJSON::object({{"size", size}});
            file.key = SecretBytes(kKey.begin(), kKey.end());
            file.aad = E2EECrypto::associatedData("acct", "node", "rev", "content");
            const SecretBytes plaintext = E2EECrypto::openSmallPayload(payload, file);
            if (static_cast<std::int64_t>(plaintext.size()) != size) std::abort();
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    try {
        run(data[0], input);
    } catch (const E2EEError&) {
    } catch (const CryptoError& error) {
        if (error.kind() == CryptoError::Kind::libraryFailure) std::abort();
    } catch (const JSONReadError&) {
    }
    return 0;
}
