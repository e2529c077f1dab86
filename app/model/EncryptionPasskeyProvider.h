#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <variant>
#include <vector>

#include "platform/core/SecretBytes.h"
#include "platform/passkeys/PasskeyAuthenticator.h"
#include "platform/tasks/Clock.h"
#include "platform/tasks/Executor.h"
#include "platform/tasks/TaskPool.h"
#include "shared/encryption/E2EEJSON.h"

namespace nimbuscrate {

// The outcome of a registration: the new, validated passkey record, or the error.
struct PasskeyRegistrationOutcome {
    std::optional<E2EEJSON> record;
    std::exception_ptr error;
};

// The passkey item whose salt the authenticator evaluated, as it was given,
// and its 32-byte PRF output.
struct PasskeyAssertion {
    E2EEJSON item;
    SecretBytes prf;
};

struct PasskeyAssertionOutcome {
    std::optional<PasskeyAssertion> assertion;
    std::exception_ptr error;
};

// Runs the platform authenticator's passkey ceremonies for end-to-end
// encryption: registers a passkey with the PRF extension for the account,
// and asserts one of the account's passkeys to get the PRF output that
// unwraps the account keys. One request runs at a time; each ends after 90 s
// at the latest (on the given clock), and each caller is answered exactly once.
//
// Threads: every member runs on the UI executor, and every completion is
// called there. Completions never run inside the call that started them,
// except when cancelPendingRequest or the destructor ends a request.
// Authenticator answers, the time limit and a caller's stop request reach the
// UI executor as posted work that names its request: work of a request that
// has ended, or of an older one, does nothing.
//
// Errors: PasskeyError (busy, limit, missing, unsupported, cancelled for a
// user cancellation, a time-out or sign-out, unavailable when no
// authenticator is present), E2EEError from the records and the random
// source, CancellationError when the caller's stop token had fired before
// the request began.
class EncryptionPasskeyProvider {
public:
    static constexpr double kRequestTimeLimitSeconds = 90;
    static constexpr const char* kUserDisplayName = "Nimbuscrate encrypted files";

    using RegistrationCompletion = std::function<void(PasskeyRegistrationOutcome)>;
    using AssertionCompletion = std::function<void(PasskeyAssertionOutcome)>;

    // relyingPartyID: the web app's host (the program passes it; records made
    // here carry it in "rpId"). The provider must be destroyed on the UI
    // executor; it ends a pending request as cancelled.
    EncryptionPasskeyProvider(Executor& ui, PasskeyAuthenticator& authenticator, TaskPool& workers, Clock& clock,
                              std::string relyingPartyID);
    ~EncryptionPasskeyProvider();
    EncryptionPasskeyProvider(const EncryptionPasskeyProvider&) = delete;
    EncryptionPasskeyProvider& operator=(const EncryptionPasskeyProvider&) = delete;

    // Registers a new passkey for the account. More than 9 existing items
    // (of any relying party) is PasskeyError limit, before the authenticator
    // is asked. The existing credentials of this relying party are excluded.
    // An authenticator without PRF support gives unsupported (its credential
    // may remain on it).
    void registerPasskey(const std::string& accountID, const std::string& label, const std::vector<E2EEJSON>& existing,
                         RegistrationCompletion completion, std::stop_token stop = {});

    // Asserts one of the items (passkey records or stored passkeys) of this
    // relying party and returns the item whose salt was evaluated with its
    // PRF output. Every item must be a valid record; none, or more than 10,
    // of this relying party is PasskeyError missing, before the
    // authenticator is asked. When two items share a credential the later
    // one's salt is sent, and that item is returned.
    void assertPasskey(const std::vector<E2EEJSON>& items, AssertionCompletion completion, std::stop_token stop = {});

    // Sign-out: ends the pending request, if any, with PasskeyError
    // cancelled, then cancels its authenticator operation.
    void cancelPendingRequest();

    // A request is in flight.
    bool isBusy() const { return pending_.has_value(); }

private:
    // What one ceremony gave.
    struct Result {
        Bytes credentialID;
        bool supported = false;  // the credential supports the PRF extension
        SecretBytes prf;         // the PRF output (assertions)
    };
    using Request = std::variant<PasskeyRegistrationRequest, PasskeyAssertionRequest>;
    using Continuation = std::function<void(std::optional<Result>, std::exception_ptr)>;

    // (No default member initializers: the type must be complete for
    // std::optional inside this class.)
    struct Pending {
        std::uint64_t token;
        Continuation continuation;
        std::shared_ptr<PasskeyAuthenticatorOperation> operation;
        std::stop_source timeout;
        std::unique_ptr<std::stop_callback<std::function<void()>>> callerStop;
    };

    void perform(Request request, std::stop_token stop, Continuation continuation);
    void beginRequest(std::uint64_t token, Request request, Continuation continuation, std::stop_token stop);
    void startTimeout(std::uint64_t token, std::stop_token stop);
    // Ends request `token` if it is the pending one: after the answer, a
    // cancellation, the time limit or sign-out; otherwise does nothing.
    void finishPasskeyRequest(std::uint64_t token, std::optional<Result> result, std::exception_ptr error);
    // Ends request `token` as cancelled and cancels its authenticator operation.
    void cancelRequest(std::uint64_t token);
    void authenticatorAnswered(std::uint64_t token, bool registration, std::optional<PasskeyAuthenticatorReply> reply,
                               std::exception_ptr error);

    Executor& ui_;
    PasskeyAuthenticator& authenticator_;
    TaskPool& workers_;
    Clock& clock_;
    std::string relyingPartyID_;

    // Work posted to the UI executor holds a weak reference: it does nothing
    // once this object is gone.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    std::optional<Pending> pending_;
    std::uint64_t nextToken_ = 1;

    // Time limits sleeping on the worker pool; the destructor stops them and
    // waits for zero. The mutex guards the count only.
    std::mutex timersMutex_;
    std::condition_variable timersDone_;
    std::size_t timers_ = 0;
};

}  // namespace nimbuscrate
