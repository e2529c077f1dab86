// Decodes arbitrary text as unpadded base64url: whatever is accepted must be
// the canonical encoding of its bytes, within the bound; and every byte
// string must survive an encode and decode round trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"

using namespace nimbuscrate;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::size_t bound = size > 0 ? data[0] % 80 : 0;
    try {
        const SecretBytes decoded = E2EECrypto::base64URLDecode(E2EEJSON(text), bound, std::nullopt);
        if (decoded.size() > bound) std::abort();
        if (E2EECrypto::base64URLEncode(decoded) != text) std::abort();
    } catch (const E2EEError& error) {
        if (error.kind() != E2EEError::Case::invalid) std::abort();
    }

    const ByteView bytes(data, size);
    const std::string encoded = E2EECrypto::base64URLEncode(bytes);
    if (encoded.size() != (4 * size + 2) / 3) std::abort();
    const SecretBytes back = E2EECrypto::base64URLDecode(E2EEJSON(encoded), size, size);
    if (!std::equal(back.begin(), back.end(), bytes.begin(), bytes.end())) std::abort();
    return 0;
}
