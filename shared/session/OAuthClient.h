#pragma once

#include <map>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/http/HttpRequest.h"
#include "platform/http/HttpTransport.h"
#include "platform/tasks/Clock.h"
#include "shared/session/KeychainStore.h"
#include "shared/session/OAuthTokens.h"

namespace nimbuscrate {

// The identity provider's OpenID Connect token endpoint: the form body, the
// request and the reading of the reply into OAuthTokens. Holds no state of
// its own; calls block the calling thread.
class OAuthClient {
public:
    static constexpr const char* kClientID = "nimbuscrate-desktop";
    static constexpr double kTimeoutSeconds = 60;
    // The token reply is small; a longer one is refused while it arrives.
    static constexpr std::uint64_t kMaxReplyBytes = 1024 * 1024;

    using Fields = std::map<std::string, std::string>;

    explicit OAuthClient(HttpTransport& transport = HttpTransport::shared(),
                         KeychainStore sessionStore = KeychainStore::session(), Clock& clock = Clock::system());

    // Each field as percent-encoded key "=" percent-encoded value. Letters,
    // digits and "-._~!$'()*,;:@/?" stay; every other byte is %XX (upper-case).
    static std::vector<std::string> formEncoded(const Fields& fields);

    // The POST of the given fields to the token endpoint, form-encoded with
    // the pairs sorted, "Content-Type" the only header. Redirects are never
    // followed.
    static HttpRequest makeTokenRequest(const Fields& fields);

    // Sends the fields; status 200 gives the tokens. A missing
    // "refresh_token" keeps the stored session's one (or the empty text).
    // Throws the transport's error, ReplyDecodingError for a 200 body that is
    // not a token reply, DesktopError::server(status, body text) otherwise.
    OAuthTokens tokenRequest(const Fields& fields, std::stop_token stop = {});

    // The refresh grant: client_id, grant_type=refresh_token, refresh_token.
    OAuthTokens refresh(const std::string& refreshToken, std::stop_token stop = {});

private:
    HttpTransport& transport_;
    KeychainStore sessionStore_;
    Clock& clock_;
};

}  // namespace nimbuscrate
