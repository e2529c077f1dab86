#include "platform/passkeys/PasskeyAuthenticator.h"

#include <openssl/evp.h>

#include <string_view>

namespace nimbuscrate {

Bytes prfSaltInput(ByteView salt) {
    static constexpr std::string_view kLabel = "WebAuthn PRF";
    static constexpr unsigned char kSeparator = 0x00;
    Bytes digest(32);
    unsigned int length = 0;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    const bool ok = context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1 &&
                    EVP_DigestUpdate(context, kLabel.data(), kLabel.size()) == 1 &&
                    EVP_DigestUpdate(context, &kSeparator, 1) == 1 &&
                    EVP_DigestUpdate(context, salt.data(), salt.size()) == 1 &&
                    EVP_DigestFinal_ex(context, digest.data(), &length) == 1 && length == digest.size();
    EVP_MD_CTX_free(context);
    if (!ok) throw PasskeyAuthenticatorError(PasskeyAuthenticatorError::Kind::failed, "SHA-256 failed.");
    return digest;
}

}  // namespace nimbuscrate
