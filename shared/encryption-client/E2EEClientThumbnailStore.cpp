// The store of an uploaded, sealed preview as the media service's thumbnail
// of its revision.
#include <string>

#include "shared/encryption-client/E2EEClient.h"
#include "shared/encryption-client/E2EERedirectGuard.h"
#include "shared/encryption/E2EEError.h"
#include "shared/session/DesktopError.h"

namespace nimbuscrate {

namespace {

// Thrown from the transfer's callbacks to end a reply that is already known
// to fail; the caller reports it after the session check.
struct StopTransfer {};

}  // namespace

void E2EEClient::storeEncryptedThumbnail(const E2EEJSON& revision, std::stop_token stop) {
    const std::string sessionID = currentSessionID();
    const Url url = encryptedThumbnailURL(revision);
    const std::string token = services_.credentials.token(stop);

    HttpRequest request("POST", url);
    request.timeoutSeconds = kThumbnailStoreTimeoutSeconds;
    E2EERedirectGuard().apply(request);
    request.headers.set("Authorization", "Bearer " + token);
    request.headers.set("Content-Type", "application/octet-stream");

    long status = 0;
    bool tooLong = false;
    std::string reply;
    try {
        const HttpResponse response = services_.transport.stream(
            request,
            [&status](long headStatus, const HttpHeaders&) {
                status = headStatus;
                if (headStatus < 200 || headStatus > 299) throw StopTransfer();
            },
            [&](const std::uint8_t* data, std::size_t size) {
                if (size > kMaxThumbnailStoreReplyBytes - reply.size()) {
                    tooLong = true;
                    throw StopTransfer();
                }
                reply.append(reinterpret_cast<const char*>(data), size);
            },
            stop);
        status = response.status;
    } catch (const StopTransfer&) {
        // A failure status or an oversized reply, reported below in that order.
    }

    if (currentSessionID() != sessionID) throw E2EEError::sessionChanged();
    if (status < 200 || status > 299) {
        throw DesktopError::server(status >= 100 && status <= 599 ? status : 0, kThumbnailStoreFailureMessage);
    }
    if (tooLong) throw E2EEError::invalid();
    const E2EEJSON answer = E2EEJSON::parse(reply);
    const E2EEJSON& stored = answer.member("stored");
    if (!answer.isNonEmptyObject() || !stored.isBool() || !stored.boolValue()) throw E2EEError::invalid();
}

}  // namespace nimbuscrate
