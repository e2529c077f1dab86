// The model's encryption status and the account's passkeys: list, add, remove.
#include <exception>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>

#include "app/model/DesktopAppModel.h"
#include "platform/core/CancellationError.h"
#include "platform/core/SecretBytes.h"
#include "shared/encryption/E2EEError.h"

// Every co_await below takes only named values: the compiler this project
// builds with destroys some temporaries of a co_await expression twice.

namespace nimbuscrate {

namespace {

// A stop token that fires when either of two does: the caller's (a newer
// discovery, sign-out) and the worker pool's (shutdown).
class EitherStop {
public:
    EitherStop(std::stop_token first, std::stop_token second)
        : first_(std::move(first), Request{&source_}), second_(std::move(second), Request{&source_}) {}
    std::stop_token token() const { return source_.get_token(); }

private:
    struct Request {
        std::stop_source* source;
        void operator()() const noexcept { source->request_stop(); }
    };
    std::stop_source source_;
    std::stop_callback<Request> first_;
    std::stop_callback<Request> second_;
};

// Resumes the caller from a separate step of the UI executor, as a newly
// started task would begin.
auto nextStep(const UiContext& context) {
    return awaitCallback<bool>(context, [](std::function<void(bool)> done) { done(true); });
}

// The background load of the passkey list after a status refresh. A load of
// an earlier discovery that is still running was cancelled by the caller:
// this one waits for it to end, since a load started while it runs would
// return at once and leave the list unloaded.
UiTask<void> discoverPasskeys(DesktopAppModel& model, UiContext context, UiTask<void> earlier, std::stop_token cancel) {
    auto begin = nextStep(context);
    co_await begin;
    if (!earlier.done()) {
        try {
            co_await earlier;
        } catch (...) {
            // Its own end is not this load's concern (refreshPasskeys never throws).
        }
    }
    if (cancel.stop_requested()) co_return;
    co_await model.refreshPasskeys(cancel);
}

// The "accountId" text of an account record; E2EEError::invalid without one.
std::string accountIdOf(const E2EEJSON& account) {
    const std::string* text = account.isObject() ? account.member("accountId").stringValue() : nullptr;
    if (!text) throw E2EEError::invalid();
    return *text;
}

}  // namespace

UiTask<void> DesktopAppModel::refreshEncryptionStatus() {
    const UiContext ctx = context();
    const std::shared_ptr<E2EEClient> client = encryption_;
    const auto read = [client](std::stop_token stop) { return client->encryptionState(stop); };
    const E2EEClient::EncryptionState encryption = co_await runOnWorker(ctx, read);

    assign(state_.encryptionEnabled, encryption.enabled, Field::encryptionEnabled);
    assign(state_.encryptionNeedsSetup, encryption.enabled && encryption.needsSetup, Field::encryptionNeedsSetup);
    assign(state_.encryptionNeedsUnlock, encryption.enabled && !encryption.unlocked && !encryption.needsSetup,
           Field::encryptionNeedsUnlock);
    assign(state_.encryptionPaused, encryption.writePaused, Field::encryptionPaused);

    // An account without encryption keeps the text its caller set.
    if (state_.encryptionNeedsSetup) {
        assign(state_.status, E2EEError::setup().errorDescription(), Field::status);
    } else if (state_.encryptionNeedsUnlock) {
        assign(state_.status, std::string(kUnlockStatus), Field::status);
    } else if (state_.encryptionPaused) {
        assign(state_.status, std::string(kPausedStatus), Field::status);
    } else if (state_.encryptionEnabled) {
        assign(state_.status, std::string(kEncryptionReadyStatus), Field::status);
    }

    // The list is loaded in the background, locked (for a passkey unlock) or
    // not, until one load has succeeded.
    if (state_.encryptionEnabled && !state_.encryptionNeedsSetup && !passkeyContext_) {
        UiTask<void> earlier;
        if (passkeyDiscovery_) {
            passkeyDiscovery_->stop.request_stop();
            earlier = std::move(passkeyDiscovery_->task);
        }
        std::stop_source stop;
        UiTask<void> task = discoverPasskeys(*this, context(), std::move(earlier), stop.get_token());
        passkeyDiscovery_.emplace(PasskeyDiscovery{std::move(task), std::move(stop)});
    }
}

UiTask<void> DesktopAppModel::refreshPasskeys(std::stop_token cancel) {
    if (state_.passkeyLoading) co_return;
    assign(state_.passkeyLoading, true, Field::passkeyLoading);

    const UiContext ctx = context();
    const std::shared_ptr<E2EEClient> client = encryption_;
    const auto load = [client, cancel](std::stop_token poolStop) {
        const EitherStop stop(cancel, poolStop);
        return client->loadPasskeys(false, stop.token());
    };
    std::optional<E2EEClient::PasskeySnapshot> snapshot;
    try {
        snapshot = co_await runOnWorker(ctx, load);
        if (cancel.stop_requested()) throw CancellationError();
    } catch (...) {
        snapshot.reset();
    }

    if (snapshot) {
        std::vector<E2EEJSON> items = snapshot->items;
        passkeyContext_ = std::move(snapshot);
        assign(state_.passkeyItems, std::move(items), Field::passkeyItems);
        assign(state_.passkeyMessage, std::nullopt, Field::passkeyMessage);
    } else if (!cancel.stop_requested()) {
        // The load's own error is not shown.
        passkeyContext_.reset();
        assign(state_.passkeyItems, std::vector<E2EEJSON>{}, Field::passkeyItems);
        assign(state_.passkeyMessage, std::string(kPasskeyLoadFailedMessage), Field::passkeyMessage);
    }
    assign(state_.passkeyLoading, false, Field::passkeyLoading);
}

UiTask<bool> DesktopAppModel::createPasskey(std::string label) {
    assign(state_.isBusy, true, Field::isBusy);
    assign(state_.passkeyMessage, std::nullopt, Field::passkeyMessage);

    const UiContext ctx = context();
    const std::shared_ptr<E2EEClient> client = encryption_;
    // The model's copy of the PRF output: zeroed on every way out.
    const auto prf = std::make_shared<SecretBytes>();
    std::exception_ptr failure;
    try {
        // A fresh list: the stored one may be old.
        const auto load = [client](std::stop_token stop) { return client->loadPasskeys(true, stop); };
        const E2EEClient::PasskeySnapshot snapshot = co_await runOnWorker(ctx, load);
        const std::string accountID = accountIdOf(snapshot.account);

        const auto startRegistration = [&](std::function<void(PasskeyRegistrationOutcome)> done) {
            passkeyProvider_->registerPasskey(accountID, label, snapshot.items, std::move(done));
        };
        PasskeyRegistrationOutcome registration =
            co_await awaitCallback<PasskeyRegistrationOutcome>(ctx, startRegistration);
        if (registration.error) std::rethrow_exception(registration.error);
        if (!registration.record) throw E2EEError::invalid();

        // A second ceremony with only the new passkey gives its PRF output.
        const auto startAssertion = [&](std::function<void(PasskeyAssertionOutcome)> done) {
            passkeyProvider_->assertPasskey({*registration.record}, std::move(done));
        };
        PasskeyAssertionOutcome assertion = co_await awaitCallback<PasskeyAssertionOutcome>(ctx, startAssertion);
        if (assertion.error) std::rethrow_exception(assertion.error);
        if (!assertion.assertion) throw E2EEError::invalid();
        *prf = std::move(assertion.assertion->prf);
        const E2EEJSON record = assertion.assertion->item;

        const auto add = [client, record, prf, login = snapshot.login, account = snapshot.account](
                             std::stop_token stop) { client->addPasskey(record, *prf, login, account, stop); };
        co_await runOnWorker(ctx, add);
    } catch (...) {
        failure = std::current_exception();
    }
    cleanse(prf->data(), prf->size());
    if (failure) {
        assign(state_.passkeyMessage, describe(failure), Field::passkeyMessage);
        assign(state_.isBusy, false, Field::isBusy);
        co_return false;
    }

    co_await refreshPasskeys();
    assign(state_.isBusy, false, Field::isBusy);
    co_return true;
}

UiTask<void> DesktopAppModel::deletePasskey(E2EEJSON item) {
    if (!passkeyContext_) co_return;
    assign(state_.isBusy, true, Field::isBusy);
    assign(state_.passkeyMessage, std::nullopt, Field::passkeyMessage);

    const UiContext ctx = context();
    const std::shared_ptr<E2EEClient> client = encryption_;
    const auto remove = [client, item = std::move(item), login = passkeyContext_->login,
                         account = passkeyContext_->account](std::stop_token stop) {
        client->removePasskey(item, login, account, stop);
    };
    std::exception_ptr failure;
    try {
        co_await runOnWorker(ctx, remove);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        assign(state_.passkeyMessage, describe(failure), Field::passkeyMessage);
        assign(state_.isBusy, false, Field::isBusy);
        co_return;
    }

    co_await refreshPasskeys();
    assign(state_.isBusy, false, Field::isBusy);
}

}  // namespace nimbuscrate
