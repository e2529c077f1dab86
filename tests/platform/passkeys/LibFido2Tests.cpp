#include <gtest/gtest.h>

#include <future>

#include "platform/passkeys/LibFido2.h"
#include "platform/passkeys/SecurityKeyAuthenticator.h"
#include "tests/platform/passkeys/FakeFidoLibrary.h"

namespace nimbuscrate {
namespace {

Bytes bytesAt(const unsigned char* data, std::size_t length) { return Bytes(data, data + length); }

// The seam's parameters reach libfido2's request objects as given (as far
// as the library lets them be read back).
TEST(LibFido2, CredentialRequestCarriesTheParameters) {
    LibFido2 library;
    FidoCredentialParameters parameters;
    parameters.clientDataHash = Bytes(32, 0x5a);
    parameters.relyingPartyID = "drive.example";
    parameters.relyingPartyName = "Nimbuscrate";
    parameters.userID = bytesOf("account-1");
    parameters.userName = "Nimbuscrate account-1";
    parameters.userDisplayName = "Nimbuscrate encrypted files";
    parameters.excludedCredentials = {Bytes(16, 1), Bytes(16, 2)};
    parameters.extensions = FIDO_EXT_HMAC_SECRET;
    parameters.userVerification = FIDO_OPT_TRUE;
    int status = -1;
    fido_cred_t* credential = LibFido2::makeCredentialRequest(parameters, &status);
    ASSERT_NE(credential, nullptr);
    EXPECT_EQ(status, FIDO_OK);
    EXPECT_EQ(bytesAt(fido_cred_clientdata_hash_ptr(credential), fido_cred_clientdata_hash_len(credential)),
              parameters.clientDataHash);
    EXPECT_STREQ(fido_cred_rp_id(credential), "drive.example");
    EXPECT_STREQ(fido_cred_rp_name(credential), "Nimbuscrate");
    EXPECT_EQ(bytesAt(fido_cred_user_id_ptr(credential), fido_cred_user_id_len(credential)), bytesOf("account-1"));
    EXPECT_STREQ(fido_cred_user_name(credential), "Nimbuscrate account-1");
    EXPECT_STREQ(fido_cred_display_name(credential), "Nimbuscrate encrypted files");
    EXPECT_EQ(fido_cred_type(credential), COSE_ES256);
    fido_cred_free(&credential);

    parameters.coseAlgorithm = 12345;  // no such algorithm
    credential = LibFido2::makeCredentialRequest(parameters, &status);
    EXPECT_EQ(credential, nullptr);
    EXPECT_NE(status, FIDO_OK);
}

TEST(LibFido2, AssertionRequestCarriesTheParameters) {
    LibFido2 library;
    FidoAssertionParameters parameters;
    parameters.clientDataHash = Bytes(32, 0x6b);
    parameters.relyingPartyID = "drive.example";
    parameters.allowedCredentials = {Bytes(16, 3)};
    parameters.extensions = FIDO_EXT_HMAC_SECRET;
    parameters.hmacSalt = Bytes(32, 0x7c);
    parameters.userVerification = FIDO_OPT_TRUE;
    int status = -1;
    fido_assert_t* assertion = LibFido2::makeAssertionRequest(parameters, &status);
    ASSERT_NE(assertion, nullptr);
    EXPECT_EQ(status, FIDO_OK);
    EXPECT_EQ(bytesAt(fido_assert_clientdata_hash_ptr(assertion), fido_assert_clientdata_hash_len(assertion)),
              parameters.clientDataHash);
    EXPECT_STREQ(fido_assert_rp_id(assertion), "drive.example");
    fido_assert_free(&assertion);

    parameters.hmacSalt = Bytes(20, 0x7c);  // "hmac-secret" takes 32 or 64 bytes
    assertion = LibFido2::makeAssertionRequest(parameters, &status);
    EXPECT_EQ(assertion, nullptr);
    EXPECT_NE(status, FIDO_OK);
}

// The system library with no key plugged in (as on the build machines): the
// ceremony ends as unavailable without waiting for anything.
TEST(LibFido2, WithNoKeyPresentTheSecurityKeyAuthenticatorIsUnavailable) {
    LibFido2 library;
    if (!library.devicePaths().empty()) GTEST_SKIP() << "a security key is plugged in";
    testing::ScriptedPinPrompt prompt;
    TaskPool pool(1);
    SecurityKeyAuthenticator authenticator(library, prompt, pool);
    std::promise<std::exception_ptr> answered;
    authenticator.assertCredential(
        {"drive.example", Bytes(32, 1), {{Bytes(16, 1), Bytes(32, 2)}}},
        [&](std::optional<PasskeyAuthenticatorReply>, std::exception_ptr error) { answered.set_value(error); });
    auto future = answered.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    const std::exception_ptr error = future.get();
    ASSERT_TRUE(error) << "a reply without a key";
    try {
        std::rethrow_exception(error);
    } catch (const PasskeyAuthenticatorError& error) {
        EXPECT_EQ(error.kind(), PasskeyAuthenticatorError::Kind::unavailable);
    } catch (...) {
        ADD_FAILURE() << "not an authenticator error";
    }
}

}  // namespace
}  // namespace nimbuscrate
