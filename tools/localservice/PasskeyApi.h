#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "tools/localservice/HttpExchange.h"

namespace nimbuscrate::localservice {

// The passkey list of the encrypted account, under "/api/v1/" of the
// account API host (the bearer check is the router's):
//
//   GET  e2ee/account/passkeys         {"accountId", "generation", "items": [<add intent>...]}
//   POST e2ee/account/passkeys         a signed add intent; answers {"generation": <new>}
//   POST e2ee/account/passkeys/remove  a signed remove intent; answers {"generation": <new>}
//
// An intent is {"value": {"purpose": "passkey-add" or "passkey-remove",
// "accountId", "generation", "passkey" or "passkeyId"}, "signature": raw
// 64-byte P-256 ECDSA signature (unpadded base64url) over the canonical JSON
// of "value"}. The service checks the signature with the account's key
// record "publicKey" (a JWK), the purpose and the account (else 400 or 403),
// then the generation: it must be the list's (else 409); an add also needs
// fewer than ten passkeys and an "id" and "credentialId" not listed (409),
// a remove a listed "passkeyId" (409). Each accepted change adds 1 to the
// list's generation, which starts at 1. Add intents are stored and listed as
// received.
//
// Thread-safe.
class PasskeyApi {
public:
    static constexpr int kEveryCall = -1;

    // Malformed lists the GET can serve (each once per use of the knob).
    enum class MalformedList {
        itemAtListGeneration,  // the newest item claims the list's own generation
        elevenItems,           // the items of the list repeated up to eleven
        generationZero,        // "generation": 0
        duplicate,             // the first item twice
    };

    static bool serves(std::string_view path);
    // accountJson: the account GET e2ee/account serves now.
    Reply handle(const IncomingRequest& request, const std::string& accountJson);

    // Stores a signed add intent as given, with no checks; the list's
    // generation becomes at least one above the intent's.
    void seed(const std::string& intentJson);
    std::int64_t generation() const;
    std::size_t count() const;
    // The accepted intents (adds and removes), as received, in order.
    std::vector<std::string> acceptedIntents() const;

    // Knobs; each use of a counted one takes one of its `times`.
    // The next changes are stored, then answered with `status`, or the
    // connection is dropped when status is 0.
    void failAfterStore(int status, int times = 1);
    // The next adds store the passkey with another envelope ciphertext than
    // the one sent (the stored intent then no longer verifies).
    void storeChangedEnvelope(int times = 1);
    // The next lists are malformed this way.
    void serveMalformedList(MalformedList kind, int times = 1);
    void clearKnobs();

private:
    Reply list(const std::string& accountJson);
    Reply change(const IncomingRequest& request, const std::string& accountJson, bool add);

    // Guards everything below; nothing else is locked under it.
    mutable std::mutex mutex_;
    std::int64_t generation_ = 1;
    std::vector<std::string> items_;  // add intents as received
    std::vector<std::string> accepted_;
    int failAfterStore_ = 0;
    int failStatus_ = 500;
    int changedEnvelope_ = 0;
    std::vector<std::pair<MalformedList, int>> malformed_;
};

}  // namespace nimbuscrate::localservice
