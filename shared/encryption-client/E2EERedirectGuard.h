#pragma once

#include "platform/http/HttpRequest.h"

namespace nimbuscrate {

// The redirect rule of every request the encryption client sends (account
// API requests and encrypted transfers alike): a redirect is never followed.
// The 3xx reply itself is the answer, so nothing, the token least of all,
// ever reaches the place it points to; each caller reports the 3xx by its
// status. The guard holds no state; make one per request.
class E2EERedirectGuard {
public:
    E2EERedirectGuard() = default;

    // Sets the request's redirect rule; returns the request for chaining.
    HttpRequest& apply(HttpRequest& request) const {
        request.redirects = RedirectPolicy::never;
        return request;
    }
};

}  // namespace nimbuscrate
