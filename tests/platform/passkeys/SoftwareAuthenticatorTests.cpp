#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/passkeys/SoftwareAuthenticator.h"

namespace nimbuscrate {
namespace {

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

Bytes plain(const SecretBytes& bytes) { return Bytes(bytes.begin(), bytes.end()); }

nlohmann::json prfVectors() {
    std::ifstream in(NIMBUSCRATE_SOURCE_DIR "/tests/platform/passkeys/fixtures/prf.json");
    return nlohmann::json::parse(in).at("prf");
}

struct Answer {
    bool answered = false;
    std::optional<PasskeyAuthenticatorReply> reply;
    std::exception_ptr error;
};

PasskeyAuthenticator::Completion into(Answer& answer) {
    return [&answer](std::optional<PasskeyAuthenticatorReply> reply, std::exception_ptr error) {
        EXPECT_FALSE(answer.answered) << "answered twice";
        answer = {true, std::move(reply), error};
    };
}

PasskeyAuthenticatorError::Kind kindOf(const Answer& answer) {
    try {
        std::rethrow_exception(answer.error);
    } catch (const PasskeyAuthenticatorError& error) {
        return error.kind();
    }
}

TEST(PrfSaltInput, HashesTheLabelASeparatorAndTheSaltAsTheFixtureScriptDoes) {
    for (const auto& vector : prfVectors()) {
        SCOPED_TRACE(vector.dump());
        const Bytes salt = fromHex(vector.at("salt"));
        EXPECT_EQ(prfSaltInput(salt), fromHex(vector.at("saltInput")));
    }
}

TEST(SoftwareAuthenticator, AnswersThePrfOfItsSecretForTheSaltOfTheCredentialItUses) {
    for (const auto& vector : prfVectors()) {
        SCOPED_TRACE(vector.dump());
        const Bytes secret = fromHex(vector.at("secret"));
        const Bytes salt = fromHex(vector.at("salt"));
        EXPECT_EQ(plain(SoftwareAuthenticator::prf(secret, salt)), fromHex(vector.at("prf")));

        SoftwareAuthenticator authenticator;
        const Bytes credential(16, 0xab);
        authenticator.addCredential("drive.example", credential, SecretBytes(secret.begin(), secret.end()));
        Answer answer;
        authenticator.assertCredential(
            {"drive.example", Bytes(32, 1), {{Bytes(16, 0xcd), Bytes(32, 9)}, {credential, salt}}}, into(answer));
        ASSERT_TRUE(answer.answered);
        ASSERT_TRUE(answer.reply) << "an error instead of a reply";
        EXPECT_EQ(answer.reply->credentialID, credential);
        EXPECT_EQ(plain(answer.reply->prf), fromHex(vector.at("prf")));
        EXPECT_TRUE(answer.reply->userVerified);
    }
}

TEST(SoftwareAuthenticator, RegisteredCredentialsAreUsedByLaterAssertionsOfTheSameRelyingPartyOnly) {
    SoftwareAuthenticator authenticator;
    Answer registered;
    authenticator.registerCredential(
        {"drive.example", Bytes(32, 1), bytesOf("acct"), "Nimbuscrate acct", "Nimbuscrate encrypted files", {}},
        into(registered));
    ASSERT_TRUE(registered.reply);
    EXPECT_EQ(registered.reply->credentialID.size(), 32u);
    EXPECT_TRUE(registered.reply->prfSupported);
    EXPECT_TRUE(registered.reply->userVerified);

    const Bytes salt(32, 7);
    Answer first, second, otherHost;
    authenticator.assertCredential({"drive.example", Bytes(32, 2), {{registered.reply->credentialID, salt}}},
                                   into(first));
    authenticator.assertCredential({"drive.example", Bytes(32, 3), {{registered.reply->credentialID, salt}}},
                                   into(second));
    authenticator.assertCredential({"other.example", Bytes(32, 4), {{registered.reply->credentialID, salt}}},
                                   into(otherHost));
    ASSERT_TRUE(first.reply && second.reply);
    EXPECT_EQ(first.reply->prf.size(), 32u);
    EXPECT_EQ(first.reply->prf, second.reply->prf) << "the same credential and salt give the same output";
    EXPECT_EQ(kindOf(otherHost), PasskeyAuthenticatorError::Kind::noCredential);

    // A credential it holds in the exclusion list: no second credential.
    Answer excluded;
    authenticator.registerCredential({"drive.example",
                                      Bytes(32, 1),
                                      bytesOf("acct"),
                                      "Nimbuscrate acct",
                                      "Nimbuscrate encrypted files",
                                      {registered.reply->credentialID}},
                                     into(excluded));
    EXPECT_EQ(kindOf(excluded), PasskeyAuthenticatorError::Kind::failed);
    EXPECT_EQ(authenticator.credentialCount(), 1u);
    EXPECT_EQ(authenticator.registrations().size(), 2u);
    EXPECT_EQ(authenticator.assertions().size(), 3u);
}

TEST(SoftwareAuthenticator, ScriptedBehaviours) {
    using Behaviour = SoftwareAuthenticator::Behaviour;
    SoftwareAuthenticator authenticator;
    const Bytes credential(8, 5);
    authenticator.addCredential("drive.example", credential, SecretBytes(32, 1));
    const PasskeyAssertionRequest request{"drive.example", Bytes(32, 0), {{credential, Bytes(32, 2)}}};

    authenticator.setBehaviour(Behaviour::withoutPRF);
    Answer noPrf, noPrfRegistration;
    authenticator.assertCredential(request, into(noPrf));
    authenticator.registerCredential({"drive.example", Bytes(32, 0), bytesOf("a"), "n", "d", {}},
                                     into(noPrfRegistration));
    ASSERT_TRUE(noPrf.reply && noPrfRegistration.reply);
    EXPECT_TRUE(noPrf.reply->prf.empty());
    EXPECT_FALSE(noPrfRegistration.reply->prfSupported);

    authenticator.setBehaviour(Behaviour::withoutUserVerification);
    Answer unverified;
    authenticator.assertCredential(request, into(unverified));
    ASSERT_TRUE(unverified.reply);
    EXPECT_FALSE(unverified.reply->userVerified);

    authenticator.setBehaviour(Behaviour::cancel);
    Answer cancelled;
    authenticator.assertCredential(request, into(cancelled));
    EXPECT_EQ(kindOf(cancelled), PasskeyAuthenticatorError::Kind::cancelled);

    authenticator.setBehaviour(Behaviour::unavailable);
    Answer unavailable;
    authenticator.registerCredential({"drive.example", Bytes(32, 0), bytesOf("a"), "n", "d", {}}, into(unavailable));
    EXPECT_EQ(kindOf(unavailable), PasskeyAuthenticatorError::Kind::unavailable);

    authenticator.setBehaviour(Behaviour::silent);
    Answer late;
    auto operation = authenticator.assertCredential(request, into(late));
    operation->cancel();
    EXPECT_FALSE(late.answered);
    EXPECT_EQ(authenticator.cancellations(), 1u);
    EXPECT_EQ(authenticator.heldAnswers(), 1u);
    EXPECT_EQ(authenticator.answerHeld(), 1u);
    ASSERT_TRUE(late.answered && late.reply);
    EXPECT_EQ(late.reply->prf.size(), 32u);
    EXPECT_EQ(authenticator.heldAnswers(), 0u);
}

}  // namespace
}  // namespace nimbuscrate
