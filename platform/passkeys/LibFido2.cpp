#include "platform/passkeys/LibFido2.h"

#include <algorithm>
#include <mutex>

namespace nimbuscrate {

namespace {

// More security keys than anyone plugs in at once.
constexpr std::size_t kMaxDevices = 16;

}  // namespace

bool FidoDeviceInfo::hasExtension(std::string_view name) const {
    return std::find(extensions.begin(), extensions.end(), name) != extensions.end();
}

std::optional<bool> FidoDeviceInfo::option(std::string_view name) const {
    for (const auto& [key, value] : options) {
        if (key == name) return value;
    }
    return std::nullopt;
}

namespace {

class LibFido2Device final : public FidoDevice {
public:
    explicit LibFido2Device(fido_dev_t* device) : device_(device) {}
    ~LibFido2Device() override {
        fido_dev_close(device_);
        fido_dev_free(&device_);
    }

    FidoDeviceInfo info() override {
        FidoDeviceInfo out;
        if (!fido_dev_is_fido2(device_)) return out;
        fido_cbor_info_t* info = fido_cbor_info_new();
        if (info == nullptr) return out;
        if (fido_dev_get_cbor_info(device_, info) == FIDO_OK) {
            out.fido2 = true;
            char** extensions = fido_cbor_info_extensions_ptr(info);
            for (std::size_t i = 0; i < fido_cbor_info_extensions_len(info); ++i)
                out.extensions.emplace_back(extensions[i]);
            char** names = fido_cbor_info_options_name_ptr(info);
            const bool* values = fido_cbor_info_options_value_ptr(info);
            for (std::size_t i = 0; i < fido_cbor_info_options_len(info); ++i)
                out.options.emplace_back(names[i], values[i]);
        }
        fido_cbor_info_free(&info);
        return out;
    }

    int makeCredential(const FidoCredentialParameters& parameters, const char* pin,
                       FidoCredentialResult& result) override {
        int status = FIDO_OK;
        fido_cred_t* credential = LibFido2::makeCredentialRequest(parameters, &status);
        if (credential == nullptr) return status;
        status = fido_dev_make_cred(device_, credential, pin);
        if (status == FIDO_OK) {
            const unsigned char* id = fido_cred_id_ptr(credential);
            result.credentialID.assign(id, id + fido_cred_id_len(credential));
            result.flags = fido_cred_flags(credential);
        }
        fido_cred_free(&credential);
        return status;
    }

    int getAssertion(const FidoAssertionParameters& parameters, const char* pin, FidoAssertionResult& result) override {
        int status = FIDO_OK;
        fido_assert_t* assertion = LibFido2::makeAssertionRequest(parameters, &status);
        if (assertion == nullptr) return status;
        status = fido_dev_get_assert(device_, assertion, pin);
        if (status == FIDO_OK && fido_assert_count(assertion) == 0) status = FIDO_ERR_RX;
        if (status == FIDO_OK) {
            const unsigned char* id = fido_assert_id_ptr(assertion, 0);
            result.credentialID.assign(id, id + fido_assert_id_len(assertion, 0));
            result.flags = fido_assert_flags(assertion, 0);
            const unsigned char* secret = fido_assert_hmac_secret_ptr(assertion, 0);
            result.hmacSecret.assign(secret, secret + fido_assert_hmac_secret_len(assertion, 0));
        }
        // fido_assert_free clears the hmac-secret output it holds.
        fido_assert_free(&assertion);
        return status;
    }

    std::optional<int> pinRetries() override {
        int retries = 0;
        if (fido_dev_get_retry_count(device_, &retries) != FIDO_OK) return std::nullopt;
        return retries;
    }

    void cancel() override { fido_dev_cancel(device_); }

private:
    fido_dev_t* device_;
};

}  // namespace

LibFido2::LibFido2() {
    static std::once_flag once;
    std::call_once(once, [] { fido_init(0); });
}

std::vector<std::string> LibFido2::devicePaths() {
    std::vector<std::string> paths;
    fido_dev_info_t* list = fido_dev_info_new(kMaxDevices);
    if (list == nullptr) return paths;
    std::size_t found = 0;
    if (fido_dev_info_manifest(list, kMaxDevices, &found) == FIDO_OK) {
        for (std::size_t i = 0; i < found; ++i) {
            const char* path = fido_dev_info_path(fido_dev_info_ptr(list, i));
            if (path != nullptr) paths.emplace_back(path);
        }
    }
    fido_dev_info_free(&list, kMaxDevices);
    return paths;
}

std::unique_ptr<FidoDevice> LibFido2::open(const std::string& path) {
    fido_dev_t* device = fido_dev_new();
    if (device == nullptr) return nullptr;
    if (fido_dev_open(device, path.c_str()) != FIDO_OK) {
        fido_dev_free(&device);
        return nullptr;
    }
    return std::make_unique<LibFido2Device>(device);
}

fido_cred_t* LibFido2::makeCredentialRequest(const FidoCredentialParameters& p, int* status) {
    fido_cred_t* credential = fido_cred_new();
    if (credential == nullptr) {
        *status = FIDO_ERR_INTERNAL;
        return nullptr;
    }
    int r = fido_cred_set_type(credential, p.coseAlgorithm);
    if (r == FIDO_OK) r = fido_cred_set_clientdata_hash(credential, p.clientDataHash.data(), p.clientDataHash.size());
    if (r == FIDO_OK) r = fido_cred_set_rp(credential, p.relyingPartyID.c_str(), p.relyingPartyName.c_str());
    if (r == FIDO_OK) {
        r = fido_cred_set_user(credential, p.userID.data(), p.userID.size(), p.userName.c_str(),
                               p.userDisplayName.c_str(), nullptr);
    }
    for (const auto& excluded : p.excludedCredentials) {
        if (r == FIDO_OK) r = fido_cred_exclude(credential, excluded.data(), excluded.size());
    }
    if (r == FIDO_OK) r = fido_cred_set_extensions(credential, p.extensions);
    if (r == FIDO_OK) r = fido_cred_set_rk(credential, p.residentKey);
    if (r == FIDO_OK) r = fido_cred_set_uv(credential, p.userVerification);
    if (r != FIDO_OK) {
        fido_cred_free(&credential);
        *status = r;
        return nullptr;
    }
    *status = FIDO_OK;
    return credential;
}

fido_assert_t* LibFido2::makeAssertionRequest(const FidoAssertionParameters& p, int* status) {
    fido_assert_t* assertion = fido_assert_new();
    if (assertion == nullptr) {
        *status = FIDO_ERR_INTERNAL;
        return nullptr;
    }
    int r = fido_assert_set_clientdata_hash(assertion, p.clientDataHash.data(), p.clientDataHash.size());
    if (r == FIDO_OK) r = fido_assert_set_rp(assertion, p.relyingPartyID.c_str());
    for (const auto& allowed : p.allowedCredentials) {
        if (r == FIDO_OK) r = fido_assert_allow_cred(assertion, allowed.data(), allowed.size());
    }
    if (r == FIDO_OK) r = fido_assert_set_extensions(assertion, p.extensions);
    if (r == FIDO_OK && !p.hmacSalt.empty())
        r = fido_assert_set_hmac_salt(assertion, p.hmacSalt.data(), p.hmacSalt.size());
    if (r == FIDO_OK) r = fido_assert_set_up(assertion, p.userPresence);
    if (r == FIDO_OK) r = fido_assert_set_uv(assertion, p.userVerification);
    if (r != FIDO_OK) {
        fido_assert_free(&assertion);
        *status = r;
        return nullptr;
    }
    *status = FIDO_OK;
    return assertion;
}

}  // namespace nimbuscrate
