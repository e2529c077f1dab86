#include "platform/http/TransportError.h"

namespace nimbuscrate {

int TransportError::codeOf(Kind kind) {
    switch (kind) {
        case Kind::badURL: return -1000;
        case Kind::timedOut: return -1001;
        case Kind::unsupportedURL: return -1002;
        case Kind::cannotFindHost: return -1003;
        case Kind::cannotConnectToHost: return -1004;
        case Kind::connectionLost: return -1005;
        case Kind::tooManyRedirects: return -1007;
        case Kind::badServerResponse: return -1011;
        case Kind::insecureRedirect: return -1022;
        case Kind::dataTooLarge: return -1103;
        case Kind::secureConnectionFailed: return -1200;
        case Kind::serverCertificateUntrusted: return -1202;
        case Kind::cannotReadBody: return -3001;
        case Kind::cannotWriteReply: return -3003;
        case Kind::unknown: return -1;
    }
    return -1;
}

TransportError::TransportError(Kind kind, std::string description, int curlCode)
    : UrlLoadingError(codeOf(kind), description), kind_(kind), curlCode_(curlCode) {}

}  // namespace nimbuscrate
