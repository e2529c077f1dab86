#include "app/model/EncryptionPasskeyProvider.h"

#include <algorithm>
#include <utility>

#include "platform/core/CancellationError.h"
#include "platform/log/Logger.h"
#include "shared/encryption-client/E2EEPasskeyRecords.h"
#include "shared/encryption-client/PasskeyError.h"
#include "shared/encryption/E2EECrypto.h"

namespace nimbuscrate {

namespace {

constexpr std::size_t kChallengeBytes = 32;
constexpr std::size_t kMaxCredentialIDBytes = 1023;
constexpr std::size_t kSaltBytes = 32;
constexpr std::size_t kPrfBytes = 32;

const Logger& logger() {
    static const Logger instance("app.nimbuscrate.desktop", "passkeys");
    return instance;
}

Bytes challenge() {
    const SecretBytes bytes = E2EECrypto::randomBytes(kChallengeBytes);
    return Bytes(bytes.begin(), bytes.end());
}

Bytes decoded(const E2EEJSON& value, std::size_t maxLength, std::optional<std::size_t> exactLength) {
    const SecretBytes bytes = E2EECrypto::base64URLDecode(value, maxLength, exactLength);
    return Bytes(bytes.begin(), bytes.end());
}

bool ofRelyingParty(const E2EEJSON& item, const std::string& relyingPartyID) {
    const std::string* rpId = item.member("rpId").stringValue();
    return rpId != nullptr && *rpId == relyingPartyID;
}

// The authenticator's error as the user sees it: a cancellation (by the
// user, or of the request) is cancelled, no authenticator is unavailable,
// anything else means this authenticator cannot unlock.
PasskeyError passkeyErrorOf(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const PasskeyAuthenticatorError& failure) {
        logger().info(std::string("The authenticator did not complete the passkey request: ") + failure.what());
        switch (failure.kind()) {
            case PasskeyAuthenticatorError::Kind::cancelled:
                return PasskeyError::cancelled();
            case PasskeyAuthenticatorError::Kind::unavailable:
                return PasskeyError::unavailable();
            default:
                return PasskeyError::unsupported();
        }
    } catch (const std::exception& failure) {
        logger().error(std::string("The authenticator failed: ") + failure.what());
    } catch (...) {
        logger().error("The authenticator failed.");
    }
    return PasskeyError::unsupported();
}

}  // namespace

EncryptionPasskeyProvider::EncryptionPasskeyProvider(Executor& ui, PasskeyAuthenticator& authenticator,
                                                     TaskPool& workers, Clock& clock, std::string relyingPartyID)
    : ui_(ui),
      authenticator_(authenticator),
      workers_(workers),
      clock_(clock),
      relyingPartyID_(std::move(relyingPartyID)) {}

EncryptionPasskeyProvider::~EncryptionPasskeyProvider() {
    cancelPendingRequest();
    std::unique_lock lock(timersMutex_);
    timersDone_.wait(lock, [&] { return timers_ == 0; });
}

void EncryptionPasskeyProvider::registerPasskey(const std::string& accountID, const std::string& label,
                                                const std::vector<E2EEJSON>& existing,
                                                RegistrationCompletion completion, std::stop_token stop) {
    E2EEJSON record;
    PasskeyRegistrationRequest request;
    try {
        if (existing.size() > kMaxPasskeys - 1) throw PasskeyError::limit();
        record = makePasskeyRecord(label, relyingPartyID_);
        request.relyingPartyID = relyingPartyID_;
        request.challenge = challenge();
        request.userID = bytesOf(accountID);
        request.userName = "Nimbuscrate " + accountID;
        request.userDisplayName = kUserDisplayName;
        // The authenticator must not make a second credential for this
        // account: every credential of this relying party is excluded.
        for (const auto& item : existing) {
            if (!ofRelyingParty(item, relyingPartyID_)) continue;
            request.excludedCredentials.push_back(decoded(item.member("credentialId"), kMaxCredentialIDBytes, {}));
        }
    } catch (...) {
        ui_.post([completion = std::move(completion), error = std::current_exception()] {
            completion({std::nullopt, error});
        });
        return;
    }
    perform(
        std::move(request), stop,
        [completion = std::move(completion), record](std::optional<Result> result, std::exception_ptr error) mutable {
            PasskeyRegistrationOutcome outcome;
            try {
                if (error) std::rethrow_exception(error);
                // The credential stays on the authenticator: nothing can delete it from here.
                if (!result->supported) throw PasskeyError::unsupported();
                record.setMember(E2EEJSON(E2EECrypto::base64URLEncode(result->credentialID)), "credentialId");
                outcome.record = validatePasskeyRecord(record);
            } catch (...) {
                outcome.error = std::current_exception();
            }
            completion(std::move(outcome));
        });
}

void EncryptionPasskeyProvider::assertPasskey(const std::vector<E2EEJSON>& items, AssertionCompletion completion,
                                              std::stop_token stop) {
    // One entry per credential, in the order of first appearance; a later
    // item with the same credential replaces the salt, and is the item
    // returned, so the caller unwraps with the record whose salt was sent.
    struct Entry {
        Bytes credentialID;
        E2EEJSON item;
    };
    std::vector<Entry> entries;
    PasskeyAssertionRequest request;
    try {
        for (const auto& item : items) validatePasskeyRecord(item);
        std::vector<const E2EEJSON*> kept;
        for (const auto& item : items) {
            if (ofRelyingParty(item, relyingPartyID_)) kept.push_back(&item);
        }
        if (kept.empty() || kept.size() > kMaxPasskeys) throw PasskeyError::missing();
        request.relyingPartyID = relyingPartyID_;
        request.challenge = challenge();
        for (const E2EEJSON* item : kept) {
            Bytes credentialID = decoded(item->member("credentialId"), kMaxCredentialIDBytes, {});
            Bytes salt = decoded(item->member("salt"), kSaltBytes, kSaltBytes);
            const auto same = std::find_if(entries.begin(), entries.end(),
                                           [&](const Entry& entry) { return entry.credentialID == credentialID; });
            if (same == entries.end()) {
                entries.push_back({credentialID, *item});
                request.allowedCredentials.push_back({std::move(credentialID), std::move(salt)});
            } else {
                const auto index = static_cast<std::size_t>(same - entries.begin());
                same->item = *item;
                request.allowedCredentials[index].salt = std::move(salt);
            }
        }
    } catch (...) {
        ui_.post([completion = std::move(completion), error = std::current_exception()] {
            completion({std::nullopt, error});
        });
        return;
    }
    perform(std::move(request), stop,
            [completion = std::move(completion), entries = std::move(entries)](std::optional<Result> result,
                                                                               std::exception_ptr error) {
                PasskeyAssertionOutcome outcome;
                try {
                    if (error) std::rethrow_exception(error);
                    const auto used = std::find_if(entries.begin(), entries.end(), [&](const Entry& entry) {
                        return entry.credentialID == result->credentialID;
                    });
                    if (used == entries.end() || result->prf.size() != kPrfBytes) throw PasskeyError::unsupported();
                    outcome.assertion = PasskeyAssertion{used->item, std::move(result->prf)};
                } catch (...) {
                    outcome.error = std::current_exception();
                }
                completion(std::move(outcome));
            });
}

void EncryptionPasskeyProvider::cancelPendingRequest() {
    if (pending_) cancelRequest(pending_->token);
}

void EncryptionPasskeyProvider::perform(Request request, std::stop_token stop, Continuation continuation) {
    std::exception_ptr refusal;
    if (pending_) {
        // The running request is not disturbed.
        refusal = std::make_exception_ptr(PasskeyError::busy());
    } else if (stop.stop_requested()) {
        refusal = std::make_exception_ptr(CancellationError());
    }
    if (refusal) {
        ui_.post([continuation = std::move(continuation), refusal] { continuation(std::nullopt, refusal); });
        return;
    }
    beginRequest(nextToken_++, std::move(request), std::move(continuation), std::move(stop));
}

void EncryptionPasskeyProvider::beginRequest(std::uint64_t token, Request request, Continuation continuation,
                                             std::stop_token stop) {
    pending_.emplace();
    pending_->token = token;
    pending_->continuation = std::move(continuation);

    const std::weak_ptr<int> alive = alive_;
    if (stop.stop_possible()) {
        // The caller gave up: may fire on any thread, so it only posts.
        pending_->callerStop = std::make_unique<std::stop_callback<std::function<void()>>>(
            stop, std::function<void()>([&ui = ui_, this, alive, token] {
                ui.post([this, alive, token] {
                    if (!alive.expired()) cancelRequest(token);
                });
            }));
    }
    startTimeout(token, pending_->timeout.get_token());

    const bool registration = std::holds_alternative<PasskeyRegistrationRequest>(request);
    // The authenticator may answer after this object is gone: the executor
    // (which outlives it) is captured, and the posted work checks alive.
    auto answered = [&ui = ui_, this, alive, token, registration](std::optional<PasskeyAuthenticatorReply> reply,
                                                                  std::exception_ptr error) {
        ui.post([this, alive, token, registration, reply = std::move(reply), error]() mutable {
            if (!alive.expired()) authenticatorAnswered(token, registration, std::move(reply), error);
        });
    };
    std::shared_ptr<PasskeyAuthenticatorOperation> operation;
    try {
        if (registration) {
            operation = authenticator_.registerCredential(std::get<PasskeyRegistrationRequest>(std::move(request)),
                                                          std::move(answered));
        } else {
            operation = authenticator_.assertCredential(std::get<PasskeyAssertionRequest>(std::move(request)),
                                                        std::move(answered));
        }
    } catch (...) {
        finishPasskeyRequest(token, std::nullopt, std::make_exception_ptr(passkeyErrorOf(std::current_exception())));
        return;
    }
    // The answer is posted, so the request is still pending here.
    if (pending_ && pending_->token == token) pending_->operation = std::move(operation);
}

void EncryptionPasskeyProvider::startTimeout(std::uint64_t token, std::stop_token stop) {
    {
        std::lock_guard lock(timersMutex_);
        ++timers_;
    }
    const bool started =
        workers_.submit([this, alive = std::weak_ptr<int>(alive_), token, stop](std::stop_token poolStop) {
            std::stop_source wake;
            std::stop_callback onFinish(stop, [&wake] { wake.request_stop(); });
            std::stop_callback onShutdown(poolStop, [&wake] { wake.request_stop(); });
            if (clock_.sleepFor(Clock::Duration(kRequestTimeLimitSeconds), wake.get_token())) {
                logger().notice("A passkey request reached its time limit.");
                ui_.post([this, alive, token] {
                    if (!alive.expired()) cancelRequest(token);
                });
            }
            // Last: the destructor may go on once the count drops.
            std::lock_guard lock(timersMutex_);
            --timers_;
            timersDone_.notify_all();
        });
    if (!started) {
        // The pool is shutting down (the app quits): the request has no time limit.
        std::lock_guard lock(timersMutex_);
        --timers_;
        timersDone_.notify_all();
    }
}

void EncryptionPasskeyProvider::cancelRequest(std::uint64_t token) {
    if (!pending_ || pending_->token != token) return;
    const auto operation = pending_->operation;
    finishPasskeyRequest(token, std::nullopt, std::make_exception_ptr(PasskeyError::cancelled()));
    if (operation) operation->cancel();
}

void EncryptionPasskeyProvider::finishPasskeyRequest(std::uint64_t token, std::optional<Result> result,
                                                     std::exception_ptr error) {
    // Only the pending request can be finished, once: the answer, the time
    // limit, the caller's stop and sign-out race, the first one wins.
    if (!pending_ || pending_->token != token) return;
    Pending finished = std::move(*pending_);
    pending_.reset();
    finished.timeout.request_stop();
    finished.callerStop.reset();
    finished.continuation(std::move(result), error);
}

void EncryptionPasskeyProvider::authenticatorAnswered(std::uint64_t token, bool registration,
                                                      std::optional<PasskeyAuthenticatorReply> reply,
                                                      std::exception_ptr error) {
    // An answer of a request that has ended (cancelled, timed out) is dropped.
    if (!pending_ || pending_->token != token) return;
    if (error || !reply) {
        finishPasskeyRequest(token, std::nullopt,
                             std::make_exception_ptr(error ? passkeyErrorOf(error) : PasskeyError::unsupported()));
        return;
    }
    if (!reply->userVerified) {
        // The PRF output of an unverified assertion differs from the one the
        // passkey was wrapped with.
        logger().notice("The authenticator answered without verifying the user.");
        finishPasskeyRequest(token, std::nullopt, std::make_exception_ptr(PasskeyError::unsupported()));
        return;
    }
    Result result;
    result.credentialID = std::move(reply->credentialID);
    if (registration) {
        result.supported = reply->prfSupported;
    } else {
        if (reply->prf.empty()) {
            finishPasskeyRequest(token, std::nullopt, std::make_exception_ptr(PasskeyError::unsupported()));
            return;
        }
        result.supported = true;
        result.prf = std::move(reply->prf);
    }
    finishPasskeyRequest(token, std::move(result), nullptr);
}

}  // namespace nimbuscrate
