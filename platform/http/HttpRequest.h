#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>

#include "platform/core/Bytes.h"
#include "platform/core/Url.h"
#include "platform/http/HttpHeaders.h"

namespace nimbuscrate {

// What the transport does with a 3xx reply.
enum class RedirectPolicy {
    // The 3xx reply itself is the answer (the encryption client's requests).
    never,
    // Follow up to kMaxRedirects hops, each to an https URL only; the
    // "Authorization" header goes only to the origin of the first request.
    followHttps,
};

// A request body held in memory or read from a file when it is sent.
struct HttpFileBody {
    std::filesystem::path path;
};
using HttpBody = std::variant<std::monostate, Bytes, HttpFileBody>;

// One HTTP request as the caller means it: the method and the header fields
// are sent exactly as given (the transport adds only Host, Content-Length and
// what TLS and HTTP framing need, never Accept, Expect or a Content-Type of
// its own).
struct HttpRequest {
    static constexpr int kMaxRedirects = 10;

    std::string method = "GET";
    Url url;
    HttpHeaders headers;
    HttpBody body;
    // Idle time-out: the request fails when no byte moves in either direction
    // for this many seconds (also the limit for connecting). A transfer that
    // keeps moving is never cut, however long it takes.
    double timeoutSeconds = 60;
    RedirectPolicy redirects = RedirectPolicy::followHttps;
    // Largest reply body accepted; a longer one fails while it is read.
    std::optional<std::uint64_t> maxReplyBytes;
    // Open a new connection instead of reusing an idle one. libcurl sends a
    // request once more when a reused connection dies before any reply; a
    // request that must never reach the server twice (a grant that spends a
    // single-use token) asks for a fresh connection, where that never happens.
    bool freshConnection = false;

    HttpRequest() = default;
    HttpRequest(std::string method, Url url) : method(std::move(method)), url(std::move(url)) {}

    bool hasBody() const { return !std::holds_alternative<std::monostate>(body); }
};

// The reply of the last hop. `body` is filled only by HttpTransport::send.
struct HttpResponse {
    long status = 0;
    HttpHeaders headers;
    Bytes body;
    // The URL that gave this reply (after redirects).
    Url url;
    // Redirect hops followed.
    int redirectCount = 0;
    // New connections the transfer had to open (0 when an idle one was reused).
    long newConnections = 0;
};

}  // namespace nimbuscrate
