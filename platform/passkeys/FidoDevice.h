#pragma once

#include <fido.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/core/Bytes.h"
#include "platform/core/SecretBytes.h"

namespace nimbuscrate {

// A thin seam over libfido2: each member is one library call (or the setters
// of one request), with the library's own constants and status codes, so the
// security key adapter can be tested without a device. The system library is
// LibFido2.

// What fido_dev_get_cbor_info reports, with fido_dev_is_fido2.
struct FidoDeviceInfo {
    bool fido2 = false;
    std::vector<std::string> extensions;
    std::vector<std::pair<std::string, bool>> options;

    bool hasExtension(std::string_view name) const;
    // The option's value, or nothing when the device does not list it.
    std::optional<bool> option(std::string_view name) const;
};

// The setters of one fido_cred_t, field by field.
struct FidoCredentialParameters {
    Bytes clientDataHash;  // fido_cred_set_clientdata_hash
    std::string relyingPartyID;
    std::string relyingPartyName;  // fido_cred_set_rp
    Bytes userID;
    std::string userName;
    std::string userDisplayName;                  // fido_cred_set_user
    int coseAlgorithm = COSE_ES256;               // fido_cred_set_type
    std::vector<Bytes> excludedCredentials;       // fido_cred_exclude, in order
    int extensions = 0;                           // fido_cred_set_extensions (FIDO_EXT_*)
    fido_opt_t residentKey = FIDO_OPT_OMIT;       // fido_cred_set_rk
    fido_opt_t userVerification = FIDO_OPT_OMIT;  // fido_cred_set_uv
};

struct FidoCredentialResult {
    Bytes credentialID;      // fido_cred_id_ptr
    std::uint8_t flags = 0;  // fido_cred_flags: the authenticator data flags
};

// The setters of one fido_assert_t.
struct FidoAssertionParameters {
    Bytes clientDataHash;                         // fido_assert_set_clientdata_hash
    std::string relyingPartyID;                   // fido_assert_set_rp
    std::vector<Bytes> allowedCredentials;        // fido_assert_allow_cred, in order
    int extensions = 0;                           // fido_assert_set_extensions (FIDO_EXT_*)
    Bytes hmacSalt;                               // fido_assert_set_hmac_salt, when not empty
    fido_opt_t userPresence = FIDO_OPT_OMIT;      // fido_assert_set_up
    fido_opt_t userVerification = FIDO_OPT_OMIT;  // fido_assert_set_uv
};

// The first assertion of the reply.
struct FidoAssertionResult {
    Bytes credentialID;      // fido_assert_id_ptr (may be empty when one credential was allowed)
    std::uint8_t flags = 0;  // fido_assert_flags
    SecretBytes hmacSecret;  // fido_assert_hmac_secret_ptr
};

// The authenticator data flag "user verified".
inline constexpr std::uint8_t kFidoFlagUserVerified = 0x04;

// One open device. The ceremonies block until the device answers, the user
// acts, the device times out or cancel() is called.
class FidoDevice {
public:
    virtual ~FidoDevice() = default;
    // fido_dev_is_fido2 and fido_dev_get_cbor_info; a device whose info cannot
    // be read reports fido2 false.
    virtual FidoDeviceInfo info() = 0;
    // fido_dev_make_cred / fido_dev_get_assert with the PIN (nullptr for
    // none); returns the library's status (FIDO_OK or FIDO_ERR_*).
    virtual int makeCredential(const FidoCredentialParameters& parameters, const char* pin,
                               FidoCredentialResult& result) = 0;
    virtual int getAssertion(const FidoAssertionParameters& parameters, const char* pin,
                             FidoAssertionResult& result) = 0;
    // fido_dev_get_retry_count: PIN attempts left, when the device tells.
    virtual std::optional<int> pinRetries() = 0;
    // fido_dev_cancel. The one member that may be called from another thread
    // while a ceremony blocks.
    virtual void cancel() = 0;
};

class FidoLibrary {
public:
    virtual ~FidoLibrary() = default;
    // fido_dev_info_manifest: the paths of the devices present now.
    virtual std::vector<std::string> devicePaths() = 0;
    // fido_dev_open; nullptr when the device cannot be opened.
    virtual std::unique_ptr<FidoDevice> open(const std::string& path) = 0;
};

}  // namespace nimbuscrate
