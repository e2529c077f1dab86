// The passkey provider on a UI executor run by hand, a manual clock for its
// time limit and the software authenticator (or security keys behind the
// libfido2 seam), with no display.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>

#include "app/model/EncryptionPasskeyProvider.h"
#include "platform/core/CancellationError.h"
#include "platform/passkeys/SecurityKeyAuthenticator.h"
#include "platform/passkeys/SoftwareAuthenticator.h"
#include "shared/encryption-client/E2EEPasskeyRecords.h"
#include "shared/encryption-client/PasskeyError.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"
#include "tests/platform/passkeys/FakeFidoLibrary.h"
#include "tests/support/Eventually.h"

namespace nimbuscrate {
namespace {

using Behaviour = SoftwareAuthenticator::Behaviour;
const std::string kHost = "drive.example";

Bytes plain(const SecretBytes& bytes) { return Bytes(bytes.begin(), bytes.end()); }

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// A passkey item of a relying party for a credential and salt.
E2EEJSON item(const Bytes& credential, const Bytes& salt, const std::string& rpId = kHost,
              const std::string& label = "Key") {
    E2EEJSON record = makePasskeyRecord(label, rpId);
    record.setMember(E2EEJSON(E2EECrypto::base64URLEncode(credential)), "credentialId");
    record.setMember(E2EEJSON(E2EECrypto::base64URLEncode(salt)), "salt");
    return record;
}

// What the error of an outcome is, as a short name.
std::string errorName(std::exception_ptr error) {
    if (!error) return "none";
    try {
        std::rethrow_exception(error);
    } catch (const PasskeyError& e) {
        switch (e.kind()) {
            case PasskeyError::Case::unavailable:
                return "unavailable";
            case PasskeyError::Case::unsupported:
                return "unsupported";
            case PasskeyError::Case::cancelled:
                return "cancelled";
            case PasskeyError::Case::missing:
                return "missing";
            case PasskeyError::Case::changed:
                return "changed";
            case PasskeyError::Case::limit:
                return "limit";
            case PasskeyError::Case::busy:
                return "busy";
        }
    } catch (const E2EEError& e) {
        return "E2EEError " + std::to_string(e.code());
    } catch (const CancellationError&) {
        return "CancellationError";
    } catch (...) {
    }
    return "other";
}

struct Registration {
    int calls = 0;
    PasskeyRegistrationOutcome outcome;
    std::string error() const { return errorName(outcome.error); }
};
struct Assertion {
    int calls = 0;
    PasskeyAssertionOutcome outcome;
    std::string error() const { return errorName(outcome.error); }
};

class EncryptionPasskeyProviderTest : public ::testing::Test {
protected:
    std::shared_ptr<Registration> startRegistration(const std::vector<E2EEJSON>& existing, std::stop_token stop = {}) {
        auto registration = std::make_shared<Registration>();
        provider->registerPasskey(
            "account-1", "  My laptop ", existing,
            [registration](PasskeyRegistrationOutcome outcome) {
                ++registration->calls;
                registration->outcome = std::move(outcome);
            },
            stop);
        return registration;
    }

    std::shared_ptr<Assertion> startAssertion(const std::vector<E2EEJSON>& items, std::stop_token stop = {},
                                              std::function<void()> then = {}) {
        auto assertion = std::make_shared<Assertion>();
        provider->assertPasskey(
            items,
            [assertion, then](PasskeyAssertionOutcome outcome) {
                ++assertion->calls;
                assertion->outcome = std::move(outcome);
                if (then) then();
            },
            stop);
        return assertion;
    }

    // A credential on the software authenticator and its item.
    E2EEJSON heldItem(std::uint8_t credentialByte, std::uint8_t saltByte, const std::string& label = "Key") {
        const Bytes credential(16, credentialByte);
        authenticator.addCredential(kHost, credential, SecretBytes(32, credentialByte));
        return item(credential, Bytes(32, saltByte), kHost, label);
    }

    // Lets the time limit of the running requests expire: waits until their
    // timers sleep, moves the clock and runs what they post.
    void expireTimeLimit(std::size_t sleepers = 1) {
        ASSERT_TRUE(clock.waitForSleepers(sleepers));
        clock.advance(Clock::Duration(EncryptionPasskeyProvider::kRequestTimeLimitSeconds));
        ASSERT_TRUE(testing::eventually([&] { return clock.sleepers() < sleepers && ui.pending() > 0; }));
        ui.runPending();
    }

    ManualClock clock;
    ManualExecutor ui;
    SoftwareAuthenticator authenticator;
    TaskPool pool{2};
    std::unique_ptr<EncryptionPasskeyProvider> provider =
        std::make_unique<EncryptionPasskeyProvider>(ui, authenticator, pool, clock, kHost);
};

TEST_F(EncryptionPasskeyProviderTest, RegistrationMakesAValidRecordAndExcludesTheCredentialsOfTheSameHost) {
    const std::vector<E2EEJSON> existing = {item(Bytes(16, 1), Bytes(32, 1)),
                                            item(Bytes(20, 2), Bytes(32, 2), "other.example"),
                                            item(Bytes(24, 3), Bytes(32, 3))};
    const auto registration = startRegistration(existing);
    EXPECT_EQ(registration->calls, 0) << "never answered inside the call";
    ui.runPending();

    ASSERT_EQ(registration->calls, 1);
    ASSERT_TRUE(registration->outcome.record) << registration->error();
    const E2EEJSON& record = *registration->outcome.record;
    EXPECT_EQ(validatePasskeyRecord(record), record);
    EXPECT_EQ(*record.member("rpId").stringValue(), kHost);
    EXPECT_EQ(*record.member("label").stringValue(), "My laptop");
    ASSERT_EQ(authenticator.registrations().size(), 1u);
    const auto request = authenticator.registrations()[0];
    EXPECT_EQ(request.relyingPartyID, kHost);
    EXPECT_EQ(request.challenge.size(), 32u);
    EXPECT_EQ(request.userID, bytesOf("account-1"));
    EXPECT_EQ(request.userName, "Nimbuscrate account-1");
    EXPECT_EQ(request.userDisplayName, "Nimbuscrate encrypted files");
    EXPECT_EQ(request.excludedCredentials, (std::vector<Bytes>{Bytes(16, 1), Bytes(24, 3)}));
    EXPECT_FALSE(provider->isBusy());

    // The record's credential is the authenticator's: asserting it gives a
    // PRF output, the same each time.
    const auto first = startAssertion({record});
    ui.runPending();
    const auto second = startAssertion({record});
    ui.runPending();
    ASSERT_TRUE(first->outcome.assertion && second->outcome.assertion) << first->error() << second->error();
    EXPECT_EQ(first->outcome.assertion->item, record);
    EXPECT_EQ(first->outcome.assertion->prf.size(), 32u);
    EXPECT_EQ(first->outcome.assertion->prf, second->outcome.assertion->prf);
}

TEST_F(EncryptionPasskeyProviderTest, LimitMissingAndInvalidItemsAreRaisedBeforeAnyAuthenticatorCall) {
    std::vector<E2EEJSON> nine, ten, elevenOfHost, otherHostOnly;
    for (std::uint8_t i = 1; i <= 11; ++i) {
        const E2EEJSON entry = item(Bytes(16, i), Bytes(32, i), i % 2 ? kHost : "other.example");
        if (i <= 9) nine.push_back(entry);
        if (i <= 10) ten.push_back(entry);
        elevenOfHost.push_back(item(Bytes(16, i), Bytes(32, i)));
        otherHostOnly.push_back(item(Bytes(16, i), Bytes(32, i), "other.example"));
    }
    E2EEJSON upperCaseID = item(Bytes(16, 1), Bytes(32, 1));
    upperCaseID.setMember(E2EEJSON("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"), "id");
    E2EEJSON shortSalt = item(Bytes(16, 1), Bytes(32, 1));
    shortSalt.setMember(E2EEJSON(E2EECrypto::base64URLEncode(Bytes(31, 1))), "salt");

    const auto tenExisting = startRegistration(ten);
    const auto eleven = startAssertion(elevenOfHost);
    const auto otherHosts = startAssertion(otherHostOnly);
    const auto none = startAssertion({});
    const auto invalid = startAssertion({item(Bytes(16, 9), Bytes(32, 9)), upperCaseID});
    const auto invalidSalt = startAssertion({shortSalt});
    ui.runPending();
    EXPECT_EQ(tenExisting->error(), "limit");
    EXPECT_EQ(eleven->error(), "missing");
    EXPECT_EQ(otherHosts->error(), "missing");
    EXPECT_EQ(none->error(), "missing");
    EXPECT_EQ(invalid->error(), "E2EEError 0");
    EXPECT_EQ(invalidSalt->error(), "E2EEError 0");
    EXPECT_TRUE(authenticator.registrations().empty());
    EXPECT_TRUE(authenticator.assertions().empty());
    EXPECT_FALSE(provider->isBusy());

    const auto nineExisting = startRegistration(nine);
    ui.runPending();
    EXPECT_TRUE(nineExisting->outcome.record) << nineExisting->error();
    EXPECT_EQ(authenticator.registrations().size(), 1u);
}

TEST_F(EncryptionPasskeyProviderTest, TheItemWhoseSaltWasSentIsReturnedWithItsPrf) {
    std::ifstream in(NIMBUSCRATE_SOURCE_DIR "/tests/platform/passkeys/fixtures/prf.json");
    const auto vectors = nlohmann::json::parse(in).at("prf");
    const Bytes secret = fromHex(vectors.at(2).at("secret"));
    const Bytes credential(16, 0x42);
    authenticator.addCredential(kHost, credential, SecretBytes(secret.begin(), secret.end()));

    // Two items share the credential; the later one's salt is the fixture's.
    const E2EEJSON earlier = item(credential, Bytes(32, 0x10), kHost, "Earlier");
    E2EEJSON later = item(credential, fromHex(vectors.at(2).at("salt")), kHost, "Later");
    later.setMember(E2EEJSON::object({{"version", 1}}), "envelope");
    const E2EEJSON notHeld = item(Bytes(16, 0x43), Bytes(32, 0x11));
    const auto assertion =
        startAssertion({notHeld, earlier, item(credential, Bytes(32, 0x12), "other.example"), later});
    ui.runPending();

    ASSERT_TRUE(assertion->outcome.assertion) << assertion->error();
    EXPECT_EQ(assertion->outcome.assertion->item, later) << "the item as given, envelope included";
    EXPECT_EQ(plain(assertion->outcome.assertion->prf), fromHex(vectors.at(2).at("prf")))
        << "HMAC-SHA-256 of the secret over the hashed salt, as the fixture script computed it";
    const auto requests = authenticator.assertions();
    ASSERT_EQ(requests.size(), 1u);
    const auto& allowed = requests[0].allowedCredentials;
    ASSERT_EQ(allowed.size(), 2u) << "one entry per credential of the host";
    EXPECT_EQ(allowed[0].credentialID, Bytes(16, 0x43));
    EXPECT_EQ(allowed[1].credentialID, credential);
    EXPECT_EQ(allowed[1].salt, fromHex(vectors.at(2).at("salt")));
}

TEST_F(EncryptionPasskeyProviderTest, AuthenticatorAnswersThatCannotUnlock) {
    const E2EEJSON held = heldItem(0x51, 0x61);
    struct Case {
        Behaviour behaviour;
        std::string registration;
        std::string assertion;
    };
    for (const auto& c : std::vector<Case>{{Behaviour::withoutPRF, "unsupported", "unsupported"},
                                           {Behaviour::withoutUserVerification, "unsupported", "unsupported"},
                                           {Behaviour::cancel, "cancelled", "cancelled"},
                                           {Behaviour::unavailable, "unavailable", "unavailable"}}) {
        SCOPED_TRACE(c.registration + " " + std::to_string(static_cast<int>(c.behaviour)));
        authenticator.setBehaviour(c.behaviour);
        const auto registration = startRegistration({});
        ui.runPending();
        const auto assertion = startAssertion({held});
        ui.runPending();
        EXPECT_EQ(registration->error(), c.registration);
        EXPECT_EQ(assertion->error(), c.assertion);
        EXPECT_EQ(registration->calls + assertion->calls, 2);
    }
    authenticator.setBehaviour(Behaviour::succeed);
    const auto notOnTheAuthenticator = startAssertion({item(Bytes(16, 0x77), Bytes(32, 1))});
    ui.runPending();
    EXPECT_EQ(notOnTheAuthenticator->error(), "unsupported");
}

TEST_F(EncryptionPasskeyProviderTest, OneRequestAtATimeAndTheFirstStillCompletes) {
    const E2EEJSON held = heldItem(0x51, 0x61);
    authenticator.setBehaviour(Behaviour::silent);
    const auto first = startAssertion({held});
    const auto second = startRegistration({});
    const auto third = startAssertion({held});
    ui.runPending();
    EXPECT_EQ(second->error(), "busy");
    EXPECT_EQ(third->error(), "busy");
    EXPECT_EQ(first->calls, 0);
    EXPECT_EQ(authenticator.assertions().size(), 1u) << "refused requests never reach the authenticator";
    EXPECT_TRUE(authenticator.registrations().empty());
    EXPECT_EQ(authenticator.cancellations(), 0u) << "the running request is not disturbed";

    authenticator.answerHeld();
    ui.runPending();
    ASSERT_EQ(first->calls, 1);
    EXPECT_TRUE(first->outcome.assertion) << first->error();
    EXPECT_FALSE(provider->isBusy());
    EXPECT_TRUE(testing::eventually([&] { return clock.sleepers() == 0; })) << "the time limit stopped";
}

TEST_F(EncryptionPasskeyProviderTest, NinetySecondsOfSilenceCancelAndALateAnswerIsIgnored) {
    const E2EEJSON held = heldItem(0x51, 0x61);
    authenticator.setBehaviour(Behaviour::silent);
    const auto silent = startAssertion({held});
    ui.runPending();
    ASSERT_TRUE(clock.waitForSleepers(1));
    clock.advance(Clock::Duration(EncryptionPasskeyProvider::kRequestTimeLimitSeconds - 1));
    ui.runPending();
    EXPECT_EQ(silent->calls, 0) << "89 s is within the limit";
    expireTimeLimit();
    ASSERT_EQ(silent->calls, 1);
    EXPECT_EQ(silent->error(), "cancelled");
    EXPECT_EQ(authenticator.cancellations(), 1u) << "the authenticator is cancelled";
    EXPECT_FALSE(provider->isBusy());

    // The answer that comes after the time limit changes nothing.
    EXPECT_EQ(authenticator.answerHeld(), 1u);
    ui.runPending();
    EXPECT_EQ(silent->calls, 1);
    EXPECT_EQ(silent->error(), "cancelled");

    // The next request runs normally.
    authenticator.setBehaviour(Behaviour::succeed);
    const auto next = startAssertion({held});
    ui.runPending();
    EXPECT_TRUE(next->outcome.assertion) << next->error();
}

TEST_F(EncryptionPasskeyProviderTest, SignOutDuringAnAssertionCancelsIt) {
    const E2EEJSON held = heldItem(0x51, 0x61);
    authenticator.setBehaviour(Behaviour::silent);
    const auto assertion = startAssertion({held});
    ui.runPending();
    provider->cancelPendingRequest();
    ASSERT_EQ(assertion->calls, 1);
    EXPECT_EQ(assertion->error(), "cancelled");
    EXPECT_EQ(authenticator.cancellations(), 1u);
    EXPECT_TRUE(testing::eventually([&] { return clock.sleepers() == 0; })) << "the time limit stopped";
    provider->cancelPendingRequest();  // nothing pending: nothing happens
    authenticator.answerHeld();
    ui.runPending();
    EXPECT_EQ(assertion->calls, 1);

    authenticator.setBehaviour(Behaviour::succeed);
    const auto next = startAssertion({held});
    ui.runPending();
    EXPECT_TRUE(next->outcome.assertion) << next->error();
}

TEST_F(EncryptionPasskeyProviderTest, TheCallersStopCancelsItsOwnRequestOnly) {
    const E2EEJSON held = heldItem(0x51, 0x61);
    std::stop_source stopped;
    stopped.request_stop();
    const auto tooLate = startAssertion({held}, stopped.get_token());
    ui.runPending();
    EXPECT_EQ(tooLate->error(), "CancellationError");
    EXPECT_TRUE(authenticator.assertions().empty());

    authenticator.setBehaviour(Behaviour::silent);
    std::stop_source caller;
    const auto running = startAssertion({held}, caller.get_token());
    ui.runPending();
    caller.request_stop();
    ui.runPending();
    EXPECT_EQ(running->error(), "cancelled");
    EXPECT_EQ(authenticator.cancellations(), 1u);
}

// Each request carries its own token: the time limit, the caller's stop and
// the authenticator's answer of an older request do nothing to a newer one.
TEST_F(EncryptionPasskeyProviderTest, LateWorkOfAnOlderRequestDoesNothingToTheNextOne) {
    const E2EEJSON a = heldItem(0x51, 0x61);
    const E2EEJSON b = heldItem(0x52, 0x62);
    authenticator.setBehaviour(Behaviour::silent);

    // The first request's answer and its time limit are both queued; the
    // answer wins and its caller starts the next request at once.
    std::shared_ptr<Assertion> next;
    std::stop_source firstCaller;
    const auto first = startAssertion({a}, firstCaller.get_token(), [&] { next = startAssertion({b}); });
    ui.runPending();
    ASSERT_TRUE(clock.waitForSleepers(1));
    authenticator.answerHeld();
    clock.advance(Clock::Duration(EncryptionPasskeyProvider::kRequestTimeLimitSeconds));
    ASSERT_TRUE(testing::eventually([&] { return ui.pending() == 2; })) << "answer and time limit queued";
    firstCaller.request_stop();  // queued third
    ASSERT_EQ(ui.pending(), 3u);
    ui.runPending();
    ASSERT_EQ(first->calls, 1);
    EXPECT_TRUE(first->outcome.assertion) << first->error();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->calls, 0) << "the first request's time limit and stop did not end the second";
    EXPECT_TRUE(provider->isBusy());
    EXPECT_EQ(authenticator.cancellations(), 0u);

    // The second times out; a third request runs; the second's late answer
    // (for credential b) must not complete the third (which allows only a).
    expireTimeLimit();
    EXPECT_EQ(next->error(), "cancelled");
    const auto third = startAssertion({a});
    ui.runPending();
    EXPECT_EQ(authenticator.answerHeld(), 2u);
    ui.runPending();
    ASSERT_EQ(third->calls, 1);
    ASSERT_TRUE(third->outcome.assertion) << third->error();
    EXPECT_EQ(third->outcome.assertion->item, a);
    EXPECT_EQ(next->calls, 1);
}

TEST_F(EncryptionPasskeyProviderTest, DestructionEndsThePendingRequestOnce) {
    const E2EEJSON held = heldItem(0x51, 0x61);
    authenticator.setBehaviour(Behaviour::silent);
    const auto assertion = startAssertion({held});
    ui.runPending();
    provider.reset();
    ASSERT_EQ(assertion->calls, 1);
    EXPECT_EQ(assertion->error(), "cancelled");
    authenticator.answerHeld();  // the answer reaches a provider that is gone
    ui.runPending();
    EXPECT_EQ(assertion->calls, 1);
}

TEST(EncryptionPasskeyProviderWithSecurityKeys, NoKeyPresentIsUnavailable) {
    ManualClock clock;
    ManualExecutor ui;
    TaskPool pool{2};
    testing::FakeFidoLibrary library;
    testing::ScriptedPinPrompt prompt;
    SecurityKeyAuthenticator authenticator(library, prompt, pool);
    EncryptionPasskeyProvider provider(ui, authenticator, pool, clock, kHost);

    std::optional<PasskeyRegistrationOutcome> registration;
    provider.registerPasskey("account-1", "Key", {},
                             [&](PasskeyRegistrationOutcome o) { registration = std::move(o); });
    ASSERT_TRUE(testing::eventually([&] {
        ui.runPending();
        return registration.has_value();
    }));
    EXPECT_EQ(errorName(registration->error), "unavailable");

    std::optional<PasskeyAssertionOutcome> assertion;
    provider.assertPasskey({item(Bytes(16, 1), Bytes(32, 1))},
                           [&](PasskeyAssertionOutcome o) { assertion = std::move(o); });
    ASSERT_TRUE(testing::eventually([&] {
        ui.runPending();
        return assertion.has_value();
    }));
    EXPECT_EQ(errorName(assertion->error), "unavailable");
    EXPECT_EQ(PasskeyError::unavailable().errorDescription(),
              "Passkey unlock requires a security key with hmac-secret support. Use your encryption passphrase or "
              "recovery key.");
}

}  // namespace
}  // namespace nimbuscrate
