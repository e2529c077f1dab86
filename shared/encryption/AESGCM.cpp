#include "shared/encryption/AESGCM.h"

#include <climits>

#include "shared/encryption/CryptoError.h"
#include "shared/encryption/OpenSSLHandles.h"

namespace nimbuscrate::aesgcm {

namespace {

constexpr std::size_t kTag = 16;

CryptoError failure() { return CryptoError(CryptoError::Kind::libraryFailure, "AES-GCM failed."); }

openssl::Handle<EVP_CIPHER_CTX> start(ByteView key, ByteView nonce, ByteView associatedData, bool encrypt) {
    if (key.size() != 32 || nonce.size() != 12 || associatedData.size() > INT_MAX) throw failure();
    openssl::Handle<EVP_CIPHER_CTX> context(EVP_CIPHER_CTX_new());
    const EVP_CIPHER* cipher = openssl::aes256GCM();
    if (!context || cipher == nullptr) throw failure();
    const int ok = encrypt ? EVP_EncryptInit_ex2(context.get(), cipher, key.data(), nonce.data(), nullptr)
                           : EVP_DecryptInit_ex2(context.get(), cipher, key.data(), nonce.data(), nullptr);
    if (ok != 1) throw failure();
    if (!associatedData.empty()) {
        int unused = 0;
        const int added = encrypt ? EVP_EncryptUpdate(context.get(), nullptr, &unused, associatedData.data(),
                                                      static_cast<int>(associatedData.size()))
                                  : EVP_DecryptUpdate(context.get(), nullptr, &unused, associatedData.data(),
                                                      static_cast<int>(associatedData.size()));
        if (added != 1) throw failure();
    }
    return context;
}

}  // namespace

void seal(ByteView key, ByteView nonce, ByteView plaintext, ByteView associatedData, std::uint8_t* out) {
    if (plaintext.size() > INT_MAX) throw failure();
    auto context = start(key, nonce, associatedData, true);
    int written = 0;
    if (!plaintext.empty() &&
        EVP_EncryptUpdate(context.get(), out, &written, plaintext.data(), static_cast<int>(plaintext.size())) != 1) {
        throw failure();
    }
    int finalWritten = 0;
    if (EVP_EncryptFinal_ex(context.get(), out + written, &finalWritten) != 1) throw failure();
    if (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, kTag, out + plaintext.size()) != 1) throw failure();
}

void open(ByteView key, ByteView nonce, ByteView input, ByteView associatedData, std::uint8_t* out) {
    if (input.size() < kTag || input.size() - kTag > INT_MAX) throw failure();
    const std::size_t length = input.size() - kTag;
    auto context = start(key, nonce, associatedData, false);
    int written = 0;
    if (length > 0 && EVP_DecryptUpdate(context.get(), out, &written, input.data(), static_cast<int>(length)) != 1) {
        throw failure();
    }
    if (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kTag,
                            const_cast<std::uint8_t*>(input.data() + length)) != 1) {
        throw failure();
    }
    int finalWritten = 0;
    if (EVP_DecryptFinal_ex(context.get(), out + written, &finalWritten) != 1) {
        cleanse(out, length);
        throw CryptoError::authenticationFailure();
    }
}

}  // namespace nimbuscrate::aesgcm
