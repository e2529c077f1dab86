#pragma once

#include <string>

#include "platform/core/UrlLoadingError.h"

namespace nimbuscrate {

// A request that got no usable HTTP reply: the connection, TLS, an idle
// time-out, a refused or endless redirect, a reply over its size cap, a body
// file that could not be read. code() is the URL-loading error number the
// platform uses for the same situation, so the extension's error mapping can
// translate it; curlCode() keeps libcurl's own result for the logs.
class TransportError : public UrlLoadingError {
public:
    enum class Kind {
        badURL,              // -1000
        timedOut,            // -1001
        unsupportedURL,      // -1002
        cannotFindHost,      // -1003
        cannotConnectToHost, // -1004
        connectionLost,      // -1005
        tooManyRedirects,    // -1007
        badServerResponse,   // -1011
        insecureRedirect,    // -1022 (a redirect away from https)
        dataTooLarge,        // -1103 (reply over the request's cap)
        secureConnectionFailed, // -1200
        serverCertificateUntrusted, // -1202
        cannotReadBody,      // -3001 (request body file)
        cannotWriteReply,    // -3003 (reply file or consumer)
        unknown,             // -1
    };

    TransportError(Kind kind, std::string description, int curlCode = 0);

    Kind kind() const noexcept { return kind_; }
    int curlCode() const noexcept { return curlCode_; }

    // The URL-loading error number of a kind.
    static int codeOf(Kind kind);

private:
    Kind kind_;
    int curlCode_;
};

}  // namespace nimbuscrate
