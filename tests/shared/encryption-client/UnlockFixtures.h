#pragma once

// The committed fixtures of the unlock tests (tools/vectors/make_unlock.py):
// two key sets of one account with their key records, passphrases and
// recovery keys, passkeys of the first key set with their PRF outputs, and
// Argon2id keys of passphrases at the length limits.

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <string>

#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEJSON.h"
#include "shared/encryption/SecretBytes.h"

namespace nimbuscrate::testing {

inline const E2EEJSON& unlockFixtures() {
    static const E2EEJSON fixtures = [] {
        std::ifstream in(std::string(NIMBUSCRATE_SOURCE_DIR) + "/tests/shared/encryption-client/fixtures/unlock.json",
                         std::ios::binary);
        return E2EEJSON::parse(std::string(std::istreambuf_iterator<char>(in), {}));
    }();
    return fixtures;
}

inline SecretBytes fixtureBytes(const E2EEJSON& text) { return E2EECrypto::base64URLDecode(text, 1 << 20, std::nullopt); }

// Counts the secret buffers given back to the heap while it lives, and those
// of them that still held a non-zero byte.
class SecretReleaseWatch {
public:
    SecretReleaseWatch() {
        released_ = 0;
        dirty_ = 0;
        secretBytesReleaseHook.store(&record);
    }
    ~SecretReleaseWatch() { secretBytesReleaseHook.store(nullptr); }
    SecretReleaseWatch(const SecretReleaseWatch&) = delete;
    SecretReleaseWatch& operator=(const SecretReleaseWatch&) = delete;

    std::size_t released() const { return released_; }
    std::size_t dirty() const { return dirty_; }

private:
    static void record(const std::uint8_t* data, std::size_t count) {
        ++released_;
        for (std::size_t i = 0; i < count; ++i) {
            if (data[i] != 0) {
                ++dirty_;
                return;
            }
        }
    }
    static inline std::atomic<std::size_t> released_{0};
    static inline std::atomic<std::size_t> dirty_{0};
};

}  // namespace nimbuscrate::testing
