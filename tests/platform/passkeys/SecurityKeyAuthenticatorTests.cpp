#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <chrono>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>

#include "platform/passkeys/SecurityKeyAuthenticator.h"
#include "tests/platform/passkeys/FakeFidoLibrary.h"

namespace nimbuscrate {
namespace {

using testing::FakeFidoLibrary;
using testing::FakeKey;
using testing::keyInfo;
using testing::ScriptedPinPrompt;
using Kind = PasskeyAuthenticatorError::Kind;

const std::vector<std::string> kHmacSecret = {"credProtect", "hmac-secret"};
const std::vector<std::pair<std::string, bool>> kPinSet = {{"rk", true}, {"up", true}, {"clientPin", true}};
const std::vector<std::pair<std::string, bool>> kBuiltInVerification = {
    {"up", true}, {"uv", true}, {"clientPin", true}};

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

Bytes sha256(const Bytes& bytes) {
    Bytes digest(32);
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return digest;
}

// Two salts and their "hmac-secret" inputs from the fixture script.
struct SaltVector {
    Bytes salt;
    Bytes input;
};
std::vector<SaltVector> saltVectors() {
    std::ifstream in(NIMBUSCRATE_SOURCE_DIR "/tests/platform/passkeys/fixtures/prf.json");
    const auto vectors = nlohmann::json::parse(in);
    std::vector<SaltVector> out;
    for (const auto& vector : vectors.at("prf")) {
        out.push_back({fromHex(vector.at("salt")), fromHex(vector.at("saltInput"))});
    }
    return out;
}

struct Answer {
    std::optional<PasskeyAuthenticatorReply> reply;
    std::exception_ptr error;
};

class Waiter {
public:
    PasskeyAuthenticator::Completion completion() {
        return [this](std::optional<PasskeyAuthenticatorReply> reply, std::exception_ptr error) {
            promise_.set_value({std::move(reply), error});
        };
    }
    Answer get() {
        auto future = promise_.get_future();
        EXPECT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        return future.get();
    }

private:
    std::promise<Answer> promise_;
};

std::optional<Kind> kindOf(const Answer& answer) {
    if (!answer.error) return std::nullopt;
    try {
        std::rethrow_exception(answer.error);
    } catch (const PasskeyAuthenticatorError& error) {
        return error.kind();
    } catch (...) {
        return std::nullopt;
    }
}

PasskeyRegistrationRequest registration() {
    return {"drive.example",
            Bytes(32, 0x11),
            bytesOf("account-1"),
            "Nimbuscrate account-1",
            "Nimbuscrate encrypted files",
            {Bytes(16, 0xe1), Bytes(24, 0xe2)}};
}

class SecurityKeyAuthenticatorTest : public ::testing::Test {
protected:
    FakeKey key(std::string path, std::vector<std::string> extensions,
                std::vector<std::pair<std::string, bool>> options) {
        FakeKey key;
        key.path = std::move(path);
        key.info = keyInfo(std::move(extensions), std::move(options));
        key.pin = "2468";
        return key;
    }

    Answer registerWith(const PasskeyRegistrationRequest& request) {
        SecurityKeyAuthenticator authenticator(library, prompt, pool);
        Waiter waiter;
        authenticator.registerCredential(request, waiter.completion());
        return waiter.get();
    }
    Answer assertWith(const PasskeyAssertionRequest& request) {
        SecurityKeyAuthenticator authenticator(library, prompt, pool);
        Waiter waiter;
        authenticator.assertCredential(request, waiter.completion());
        return waiter.get();
    }

    FakeFidoLibrary library;
    ScriptedPinPrompt prompt;
    TaskPool pool{2};
};

TEST_F(SecurityKeyAuthenticatorTest, RegistrationAsksTheFirstKeyWithHmacSecretWithThePinAndTheExclusions) {
    library.keys = {key("/dev/hidraw0", {"credProtect"}, kPinSet), key("/dev/hidraw1", kHmacSecret, kPinSet)};
    prompt.answers = {"2468"};
    const auto answer = registerWith(registration());

    ASSERT_TRUE(answer.reply);
    EXPECT_EQ(answer.reply->credentialID, Bytes(20, 0xc1));
    EXPECT_TRUE(answer.reply->prfSupported);
    EXPECT_TRUE(answer.reply->userVerified);
    EXPECT_TRUE(library.key(0).calls.empty()) << "a key without hmac-secret is never asked";
    ASSERT_EQ(library.key(1).calls.size(), 1u);
    const auto& call = library.key(1).calls[0];
    ASSERT_TRUE(call.credential);
    const FidoCredentialParameters& p = *call.credential;
    EXPECT_EQ(p.clientDataHash, sha256(Bytes(32, 0x11)));
    EXPECT_EQ(p.relyingPartyID, "drive.example");
    EXPECT_EQ(p.relyingPartyName, "Nimbuscrate");
    EXPECT_EQ(p.userID, bytesOf("account-1"));
    EXPECT_EQ(p.userName, "Nimbuscrate account-1");
    EXPECT_EQ(p.userDisplayName, "Nimbuscrate encrypted files");
    EXPECT_EQ(p.coseAlgorithm, COSE_ES256);
    EXPECT_EQ(p.excludedCredentials, (std::vector<Bytes>{Bytes(16, 0xe1), Bytes(24, 0xe2)}));
    EXPECT_EQ(p.extensions, FIDO_EXT_HMAC_SECRET);
    EXPECT_EQ(p.residentKey, FIDO_OPT_OMIT);
    EXPECT_EQ(p.userVerification, FIDO_OPT_OMIT) << "the PIN verifies the user";
    EXPECT_EQ(call.pin, "2468");
    ASSERT_EQ(prompt.requests.size(), 1u);
    EXPECT_EQ(prompt.requests[0].retriesLeft, 7);
    EXPECT_FALSE(prompt.requests[0].previousWasWrong);
}

TEST_F(SecurityKeyAuthenticatorTest, BuiltInVerificationIsAskedForWithoutAPin) {
    library.keys = {key("/dev/hidraw0", kHmacSecret, kBuiltInVerification)};
    const auto answer = registerWith(registration());
    ASSERT_TRUE(answer.reply);
    EXPECT_TRUE(answer.reply->userVerified);
    ASSERT_EQ(library.key(0).calls.size(), 1u);
    EXPECT_EQ(library.key(0).calls[0].credential->userVerification, FIDO_OPT_TRUE);
    EXPECT_FALSE(library.key(0).calls[0].pin);
    EXPECT_TRUE(prompt.requests.empty());
}

TEST_F(SecurityKeyAuthenticatorTest, BuiltInVerificationThatIsBlockedFallsBackToThePin) {
    library.keys = {key("/dev/hidraw0", kHmacSecret, kBuiltInVerification)};
    library.key(0).status = FIDO_ERR_UV_BLOCKED;
    prompt.answers = {"2468"};
    const auto answer = registerWith(registration());
    EXPECT_EQ(kindOf(answer), Kind::failed) << "the scripted key refuses every ceremony";
    ASSERT_EQ(library.key(0).calls.size(), 2u);
    EXPECT_EQ(library.key(0).calls[1].credential->userVerification, FIDO_OPT_OMIT);
    EXPECT_EQ(library.key(0).calls[1].pin, "2468");
}

TEST_F(SecurityKeyAuthenticatorTest, AWrongPinIsAskedAgainAndAClosedPromptCancels) {
    library.keys = {key("/dev/hidraw0", kHmacSecret, kPinSet)};
    prompt.answers = {"1111", "2468"};
    auto answer = registerWith(registration());
    ASSERT_TRUE(answer.reply);
    ASSERT_EQ(prompt.requests.size(), 2u);
    EXPECT_TRUE(prompt.requests[1].previousWasWrong);
    EXPECT_EQ(library.key(0).calls.size(), 2u);

    prompt.requests.clear();
    prompt.answers = {std::nullopt};
    library.key(0).calls.clear();
    answer = registerWith(registration());
    EXPECT_EQ(kindOf(answer), Kind::cancelled);
    EXPECT_TRUE(library.key(0).calls.empty()) << "no ceremony without a PIN";
}

TEST_F(SecurityKeyAuthenticatorTest, KeysThatCannotGiveAVerifiedPrfAreRefusedBeforeAnyCeremony) {
    struct Case {
        const char* name;
        std::vector<FakeKey> keys;
        Kind expected;
    };
    const std::vector<Case> cases = {
        {"no key", {}, Kind::unavailable},
        {"a key without FIDO2",
         {[&] {
             auto k = key("/dev/hidraw0", kHmacSecret, kPinSet);
             k.info.fido2 = false;
             return k;
         }()},
         Kind::unavailable},
        {"no hmac-secret", {key("/dev/hidraw0", {"credProtect"}, kPinSet)}, Kind::unsupported},
        {"neither PIN nor built-in verification",
         {key("/dev/hidraw0", kHmacSecret, {{"clientPin", false}})},
         Kind::unsupported},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        library.keys = c.keys;
        EXPECT_EQ(kindOf(registerWith(registration())), c.expected);
        EXPECT_EQ(kindOf(assertWith({"drive.example", Bytes(32, 1), {{Bytes(8, 1), Bytes(32, 2)}}})), c.expected);
        for (const auto& k : library.keys) EXPECT_TRUE(k.calls.empty());
    }
}

TEST_F(SecurityKeyAuthenticatorTest, AssertionPicksTheKeyAndCredentialSilentlyThenSendsThatCredentialsHashedSalt) {
    const auto salts = saltVectors();
    ASSERT_GE(salts.size(), 4u);
    const Bytes a(16, 0xa1), b(16, 0xb2), c(16, 0xc3);
    library.keys = {key("/dev/hidraw0", kHmacSecret, kPinSet), key("/dev/hidraw1", {"credProtect"}, kPinSet),
                    key("/dev/hidraw2", kHmacSecret, kBuiltInVerification)};
    library.key(0).held = {Bytes(16, 0x99)};
    library.key(2).held = {c, b};
    // b appears twice: its later salt is the one that counts.
    const PasskeyAssertionRequest request{
        "drive.example",
        Bytes(32, 0x22),
        {{a, salts[0].salt}, {b, salts[1].salt}, {c, salts[2].salt}, {b, salts[3].salt}}};
    const auto answer = assertWith(request);

    ASSERT_TRUE(answer.reply) << "error instead of a reply";
    EXPECT_EQ(answer.reply->credentialID, b) << "the first allowed credential the key answers for";
    EXPECT_TRUE(answer.reply->userVerified);
    EXPECT_EQ(Bytes(answer.reply->prf.begin(), answer.reply->prf.end()), salts[3].input)
        << "the key evaluated the hashed salt of the later entry for b";

    const std::vector<Bytes> allAllowed = {a, b, c};
    for (std::size_t index : {0u, 2u}) {
        SCOPED_TRACE(index);
        const auto& probe = library.key(index).calls.at(0);
        ASSERT_TRUE(probe.assertion);
        EXPECT_EQ(probe.assertion->clientDataHash, sha256(Bytes(32, 0x22)));
        EXPECT_EQ(probe.assertion->relyingPartyID, "drive.example");
        EXPECT_EQ(probe.assertion->allowedCredentials, allAllowed);
        EXPECT_EQ(probe.assertion->userPresence, FIDO_OPT_FALSE);
        EXPECT_EQ(probe.assertion->userVerification, FIDO_OPT_OMIT);
        EXPECT_EQ(probe.assertion->extensions, 0);
        EXPECT_TRUE(probe.assertion->hmacSalt.empty());
        EXPECT_FALSE(probe.pin);
    }
    EXPECT_EQ(library.key(0).calls.size(), 1u);
    EXPECT_TRUE(library.key(1).calls.empty());
    ASSERT_EQ(library.key(2).calls.size(), 2u);
    const auto& real = *library.key(2).calls[1].assertion;
    EXPECT_EQ(real.clientDataHash, sha256(Bytes(32, 0x22)));
    EXPECT_EQ(real.allowedCredentials, std::vector<Bytes>{b});
    EXPECT_EQ(real.extensions, FIDO_EXT_HMAC_SECRET);
    EXPECT_EQ(real.hmacSalt, salts[3].input);
    EXPECT_EQ(real.userPresence, FIDO_OPT_OMIT);
    EXPECT_EQ(real.userVerification, FIDO_OPT_TRUE);
}

TEST_F(SecurityKeyAuthenticatorTest, AssertionAnswers) {
    const Bytes credential(16, 0xa1);
    const PasskeyAssertionRequest request{"drive.example", Bytes(32, 0x22), {{credential, Bytes(32, 5)}}};

    library.keys = {key("/dev/hidraw0", kHmacSecret, kPinSet)};
    EXPECT_EQ(kindOf(assertWith(request)), Kind::noCredential) << "no key holds the credential";

    library.keys[0].held = {credential};
    library.keys[0].answerWithoutUserVerification = true;
    prompt.answers = {"2468"};
    auto answer = assertWith(request);
    ASSERT_TRUE(answer.reply);
    EXPECT_FALSE(answer.reply->userVerified) << "the flag is reported as the key set it";

    struct Case {
        int status;
        Kind expected;
    };
    for (const auto& c : std::vector<Case>{{FIDO_ERR_KEEPALIVE_CANCEL, Kind::cancelled},
                                           {FIDO_ERR_ACTION_TIMEOUT, Kind::cancelled},
                                           {FIDO_ERR_OPERATION_DENIED, Kind::cancelled},
                                           {FIDO_ERR_UNSUPPORTED_EXTENSION, Kind::unsupported},
                                           {FIDO_ERR_PIN_BLOCKED, Kind::failed},
                                           {FIDO_ERR_RX, Kind::failed}}) {
        SCOPED_TRACE(c.status);
        library.keys[0].status = c.status;
        prompt.requests.clear();
        prompt.answers = {"2468"};
        EXPECT_EQ(kindOf(assertWith(request)), c.expected);
    }
}

TEST_F(SecurityKeyAuthenticatorTest, CancelStopsTheBlockedDeviceCall) {
    library.keys = {key("/dev/hidraw0", kHmacSecret, kBuiltInVerification)};
    library.key(0).blockUntilCancelled = true;
    SecurityKeyAuthenticator authenticator(library, prompt, pool);
    Waiter waiter;
    auto operation = authenticator.registerCredential(registration(), waiter.completion());
    ASSERT_TRUE(library.waitForBlockedCall());
    operation->cancel();
    EXPECT_EQ(kindOf(waiter.get()), Kind::cancelled);
    std::lock_guard lock(library.mutex());
    EXPECT_EQ(library.key(0).cancels, 1);
}

TEST_F(SecurityKeyAuthenticatorTest, DestructionCancelsARunningCeremonyAndWaitsForItsAnswer) {
    library.keys = {key("/dev/hidraw0", kHmacSecret, kBuiltInVerification)};
    library.key(0).blockUntilCancelled = true;
    Waiter waiter;
    {
        SecurityKeyAuthenticator authenticator(library, prompt, pool);
        authenticator.registerCredential(registration(), waiter.completion());
        ASSERT_TRUE(library.waitForBlockedCall());
    }
    EXPECT_EQ(kindOf(waiter.get()), Kind::cancelled);
}

}  // namespace
}  // namespace nimbuscrate
