#include "shared/session/OAuthClient.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include <nlohmann/json.hpp>

#include "platform/http/ReplyDecodingError.h"
#include "platform/http/TextDecoding.h"
#include "platform/http/UrlBuilding.h"
#include "shared/session/DesktopError.h"
#include "shared/session/ServiceEndpoints.h"

namespace nimbuscrate {

namespace {

struct TokenPayload {
    std::string accessToken;
    std::optional<std::string> refreshToken;
    double expiresIn = 0;
};

// Reads the token reply: "access_token" (string) and "expires_in" (number)
// are required, "refresh_token" (string) optional; other keys are ignored.
TokenPayload decodePayload(const Bytes& body) {
    const nlohmann::json json = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
    if (json.is_discarded()) throw ReplyDecodingError("The token reply is not JSON.");
    if (!json.is_object()) throw ReplyDecodingError("The token reply is not a JSON object.");
    TokenPayload payload;
    const auto access = json.find("access_token");
    if (access == json.end() || !access->is_string()) {
        throw ReplyDecodingError("The token reply has no string \"access_token\".");
    }
    payload.accessToken = access->get<std::string>();
    const auto refresh = json.find("refresh_token");
    if (refresh != json.end() && !refresh->is_null()) {
        if (!refresh->is_string()) throw ReplyDecodingError("The token reply's \"refresh_token\" is not a string.");
        payload.refreshToken = refresh->get<std::string>();
    }
    const auto expires = json.find("expires_in");
    if (expires == json.end() || !expires->is_number()) {
        throw ReplyDecodingError("The token reply has no number \"expires_in\".");
    }
    payload.expiresIn = expires->get<double>();
    if (!std::isfinite(payload.expiresIn)) throw ReplyDecodingError("The token reply's \"expires_in\" is not finite.");
    return payload;
}

}  // namespace

OAuthClient::OAuthClient(HttpTransport& transport, KeychainStore sessionStore, Clock& clock)
    : transport_(transport), sessionStore_(std::move(sessionStore)), clock_(clock) {}

std::vector<std::string> OAuthClient::formEncoded(const Fields& fields) {
    std::vector<std::string> pairs;
    pairs.reserve(fields.size());
    for (const auto& [key, value] : fields) {
        pairs.push_back(percentEncoded(key, kQueryValueAllowed) + "=" + percentEncoded(value, kQueryValueAllowed));
    }
    return pairs;
}

HttpRequest OAuthClient::makeTokenRequest(const Fields& fields) {
    HttpRequest request("POST", appendingPathComponent(identityRealmURL(), "protocol/openid-connect/token"));
    request.headers.set("Content-Type", "application/x-www-form-urlencoded");
    request.timeoutSeconds = kTimeoutSeconds;
    request.maxReplyBytes = kMaxReplyBytes;
    // A refresh token may be single-use: the grant is never sent twice.
    request.freshConnection = true;
    // The body holds the refresh token: a redirect would send it (307, 308)
    // to whatever host the reply names. The 3xx is a failed grant like any
    // other status.
    request.redirects = RedirectPolicy::never;

    std::vector<std::string> pairs = formEncoded(fields);
    std::sort(pairs.begin(), pairs.end());
    std::string body;
    for (const std::string& pair : pairs) {
        if (!body.empty()) body.push_back('&');
        body += pair;
    }
    request.body = bytesOf(body);
    return request;
}

OAuthTokens OAuthClient::tokenRequest(const Fields& fields, std::stop_token stop) {
    const HttpResponse response = transport_.send(makeTokenRequest(fields), stop);
    if (response.status != 200) {
        throw DesktopError::server(response.status, decodeUTF8Lossy(response.body));
    }
    const TokenPayload payload = decodePayload(response.body);

    std::string refreshToken;
    if (payload.refreshToken) {
        refreshToken = *payload.refreshToken;
    } else {
        // The provider kept the refresh token: go on with the stored one. A
        // store that cannot be read here is no reason to fail the grant.
        try {
            if (auto stored = sessionStore_.loadSession()) refreshToken = stored->tokens.refreshToken;
        } catch (const std::exception&) {
        }
    }
    const Date expiresAt = clock_.now().addingSeconds(payload.expiresIn);
    return OAuthTokens{payload.accessToken, refreshToken, expiresAt};
}

OAuthTokens OAuthClient::refresh(const std::string& refreshToken, std::stop_token stop) {
    return tokenRequest({{"grant_type", "refresh_token"}, {"client_id", kClientID}, {"refresh_token", refreshToken}},
                        stop);
}

}  // namespace nimbuscrate
