#include "tools/localservice/PasskeyApi.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <memory>
#include <optional>

namespace nimbuscrate::localservice {

namespace {

using Json = nlohmann::json;

constexpr std::string_view kListPath = "/api/v1/e2ee/account/passkeys";
constexpr std::string_view kRemovePath = "/api/v1/e2ee/account/passkeys/remove";
constexpr std::size_t kLimit = 10;

Reply apiError(int status, std::string_view error) {
    return Reply::json(status, Json{{"error", error}, {"message", "The passkey change was refused."}}.dump());
}

bool usesLeft(int remaining) { return remaining > 0 || remaining == PasskeyApi::kEveryCall; }
bool useOnce(int& remaining) {
    if (!usesLeft(remaining)) return false;
    if (remaining > 0) --remaining;
    return true;
}

std::optional<std::string> base64url(const Json& value) {
    if (!value.is_string()) return std::nullopt;
    std::string text = value.get<std::string>();
    for (char& c : text) {
        if (c == '-') c = '+';
        else if (c == '_') c = '/';
        else if (!std::isalnum(static_cast<unsigned char>(c))) return std::nullopt;
    }
    while (text.size() % 4 != 0) text += '=';
    std::string out(text.size() / 4 * 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                       reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (length < 0) return std::nullopt;
    const std::size_t padding = static_cast<std::size_t>(std::count(text.end() - 2, text.end(), '='));
    out.resize(static_cast<std::size_t>(length) - padding);
    return out;
}

// Whether signature (raw r || s) verifies over message with the JWK's key.
bool verifies(const Json& jwk, const std::string& message, const std::string& signature) {
    if (!jwk.is_object() || jwk.value("kty", "") != "EC" || jwk.value("crv", "") != "P-256") return false;
    const auto x = base64url(jwk.value("x", Json()));
    const auto y = base64url(jwk.value("y", Json()));
    if (!x || !y || x->size() != 32 || y->size() != 32 || signature.size() != 64) return false;
    const std::string point = std::string(1, '\x04') + *x + *y;

    std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)> build(OSSL_PARAM_BLD_new(), OSSL_PARAM_BLD_free);
    if (!build || !OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) ||
        !OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size())) {
        return false;
    }
    std::unique_ptr<OSSL_PARAM, decltype(&OSSL_PARAM_free)> params(OSSL_PARAM_BLD_to_param(build.get()),
                                                                    OSSL_PARAM_free);
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr),
                                                                         EVP_PKEY_CTX_free);
    EVP_PKEY* rawKey = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &rawKey, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        return false;
    }
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(rawKey, EVP_PKEY_free);

    std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> sig(ECDSA_SIG_new(), ECDSA_SIG_free);
    BIGNUM* r = BN_bin2bn(reinterpret_cast<const unsigned char*>(signature.data()), 32, nullptr);
    BIGNUM* s = BN_bin2bn(reinterpret_cast<const unsigned char*>(signature.data()) + 32, 32, nullptr);
    if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig.get(), &der);
    if (derLength <= 0) return false;
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> derOwner(der, [](unsigned char* p) { OPENSSL_free(p); });
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    return md && EVP_DigestVerifyInit(md.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
           EVP_DigestVerify(md.get(), der, static_cast<std::size_t>(derLength),
                            reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

// The canonical text of a value: members sorted, no white space (the
// account's member names are ASCII, where byte order is UTF-16 order).
std::string canonical(const Json& value) { return value.dump(); }

}  // namespace

bool PasskeyApi::serves(std::string_view path) { return path == kListPath || path == kRemovePath; }

Reply PasskeyApi::handle(const IncomingRequest& request, const std::string& accountJson) {
    const auto& info = request.info;
    if (info.path == kListPath && info.method == "GET") return list(accountJson);
    if (info.method == "POST") return change(request, accountJson, info.path == kListPath);
    Reply reply = apiError(405, "method_not_allowed");
    reply.header("Allow", info.path == kListPath ? "GET, POST" : "POST");
    return reply;
}

Reply PasskeyApi::list(const std::string& accountJson) {
    const Json account = Json::parse(accountJson, nullptr, false);
    std::lock_guard lock(mutex_);
    nlohmann::ordered_json items = nlohmann::ordered_json::array();
    for (const auto& item : items_) items.push_back(nlohmann::ordered_json::parse(item));
    std::int64_t generation = generation_;
    for (auto& [kind, remaining] : malformed_) {
        if (!useOnce(remaining)) continue;
        switch (kind) {
            case MalformedList::itemAtListGeneration:
                if (!items.empty()) generation = items.back()["value"]["generation"].get<std::int64_t>();
                break;
            case MalformedList::elevenItems:
                for (std::size_t i = 0; !items.empty() && items.size() < kLimit + 1; ++i) items.push_back(items[i]);
                break;
            case MalformedList::generationZero: generation = 0; break;
            case MalformedList::duplicate:
                if (!items.empty()) items.push_back(items.front());
                break;
        }
        break;
    }
    std::erase_if(malformed_, [](const auto& knob) { return !usesLeft(knob.second); });
    nlohmann::ordered_json reply;
    reply["accountId"] = account.is_object() ? account.value("accountId", Json()) : Json();
    reply["generation"] = generation;
    reply["items"] = std::move(items);
    return Reply::json(200, reply.dump());
}

Reply PasskeyApi::change(const IncomingRequest& request, const std::string& accountJson, bool add) {
    const Json account = Json::parse(accountJson, nullptr, false);
    const Json body = Json::parse(request.info.body, nullptr, false);
    if (request.info.bodyTruncated || !body.is_object() || !body.contains("value") || !body["value"].is_object()) {
        return apiError(400, "malformed_intent");
    }
    const Json& value = body["value"];
    const auto signature = base64url(body.value("signature", Json()));
    const Json publicKey = account.is_object() && account.contains("keyRecord") && account["keyRecord"].is_object()
                               ? account["keyRecord"].value("publicKey", Json())
                               : Json();
    if (!signature || !verifies(publicKey, canonical(value), *signature)) return apiError(403, "bad_signature");
    if (value.value("purpose", "") != (add ? "passkey-add" : "passkey-remove") || !account.is_object() ||
        value.value("accountId", Json()) != account.value("accountId", Json()) || !value.contains("generation") ||
        !value["generation"].is_number_integer()) {
        return apiError(403, "wrong_intent");
    }
    const Json passkey = add ? value.value("passkey", Json()) : Json();
    if (add && (!passkey.is_object() || !passkey.value("id", Json()).is_string() ||
                !passkey.value("credentialId", Json()).is_string() || !passkey.value("envelope", Json()).is_object())) {
        return apiError(400, "malformed_passkey");
    }

    std::lock_guard lock(mutex_);
    if (value["generation"].get<std::int64_t>() != generation_) return apiError(409, "stale_generation");
    std::vector<std::string>::iterator listed = items_.end();
    for (auto it = items_.begin(); it != items_.end(); ++it) {
        const Json stored = Json::parse(*it)["value"]["passkey"];
        if (add ? (stored["id"] == passkey["id"] || stored["credentialId"] == passkey["credentialId"])
                : stored["id"] == value.value("passkeyId", Json())) {
            listed = it;
        }
    }
    if (add) {
        if (items_.size() >= kLimit || listed != items_.end()) return apiError(409, "passkey_conflict");
        std::string stored = request.info.body;
        if (useOnce(changedEnvelope_)) {
            Json changed = body;
            std::string ciphertext = changed["value"]["passkey"]["envelope"]["ciphertext"].get<std::string>();
            ciphertext[0] = ciphertext[0] == 'A' ? 'B' : 'A';
            changed["value"]["passkey"]["envelope"]["ciphertext"] = ciphertext;
            stored = changed.dump();
        }
        items_.push_back(std::move(stored));
    } else {
        if (listed == items_.end()) return apiError(409, "passkey_not_listed");
        items_.erase(listed);
    }
    accepted_.push_back(request.info.body);
    ++generation_;
    if (useOnce(failAfterStore_)) {
        if (failStatus_ == 0) {
            Reply dropped = Reply::empty(500);
            dropped.dropConnection = true;
            return dropped;
        }
        return apiError(failStatus_, "failed_after_store");
    }
    return Reply::json(200, Json{{"generation", generation_}}.dump());
}

void PasskeyApi::seed(const std::string& intentJson) {
    const Json intent = Json::parse(intentJson);
    std::lock_guard lock(mutex_);
    items_.push_back(intentJson);
    generation_ = std::max(generation_, intent["value"]["generation"].get<std::int64_t>() + 1);
}

std::int64_t PasskeyApi::generation() const {
    std::lock_guard lock(mutex_);
    return generation_;
}

std::size_t PasskeyApi::count() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

std::vector<std::string> PasskeyApi::acceptedIntents() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

void PasskeyApi::failAfterStore(int status, int times) {
    std::lock_guard lock(mutex_);
    failStatus_ = status;
    failAfterStore_ = times;
}

void PasskeyApi::storeChangedEnvelope(int times) {
    std::lock_guard lock(mutex_);
    changedEnvelope_ = times;
}

void PasskeyApi::serveMalformedList(MalformedList kind, int times) {
    std::lock_guard lock(mutex_);
    malformed_.emplace_back(kind, times);
}

void PasskeyApi::clearKnobs() {
    std::lock_guard lock(mutex_);
    failAfterStore_ = 0;
    changedEnvelope_ = 0;
    malformed_.clear();
}

}  // namespace nimbuscrate::localservice
