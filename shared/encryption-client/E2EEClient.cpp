#include "shared/encryption-client/E2EEClient.h"

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <utility>

#include "shared/encryption-client/E2EERedirectGuard.h"
#include "shared/encryption/E2EEError.h"
#include "shared/session/DesktopError.h"
#include "shared/session/KeychainStore.h"
#include "shared/session/PlainOnlyDriveService.h"
#include "shared/session/ServiceEndpoints.h"
#include "shared/session/TokenProvider.h"

namespace nimbuscrate {

namespace {

bool isASCIIAlphanumeric(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The path before any query: segments of unreserved characters, none empty,
// none "." or "..", and no leading "/" (so neither a scheme, an authority nor
// an absolute path can appear).
bool isPlainRelativePath(std::string_view path) {
    if (path.empty()) return false;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = path.find('/', start);
        const std::string_view segment = path.substr(start, end == std::string_view::npos ? end : end - start);
        if (segment.empty() || segment == "." || segment == "..") return false;
        for (const char c : segment) {
            if (!isASCIIAlphanumeric(c) && c != '-' && c != '.' && c != '_' && c != '~') return false;
        }
        if (end == std::string_view::npos) return true;
        start = end + 1;
    }
}

// A query of URL query characters only: unreserved, sub-delimiters, ":",
// "@", "/", "?" and well-formed percent escapes (no "#", no space, no byte
// outside ASCII).
bool isPlainQuery(std::string_view query) {
    static constexpr std::string_view kAllowed = "-._~!$&'()*+,;=:@/?";
    for (std::size_t i = 0; i < query.size(); ++i) {
        const char c = query[i];
        if (isASCIIAlphanumeric(c) || kAllowed.find(c) != std::string_view::npos) continue;
        if (c == '%' && i + 2 < query.size() && isHexDigit(query[i + 1]) && isHexDigit(query[i + 2])) {
            i += 2;
            continue;
        }
        return false;
    }
    return true;
}

}  // namespace

E2EEClient::Credentials E2EEClient::Credentials::system() {
    Credentials credentials;
    credentials.session = [] { return KeychainStore::session().loadSession(); };
    credentials.token = [](std::stop_token stop) { return TokenProvider::shared().validAccessToken(stop); };
    credentials.secret = [](const std::string& service, const std::string& account) -> std::shared_ptr<E2EESecretStore> {
        return std::make_shared<KeychainStore>(service, account);
    };
    return credentials;
}

E2EEClient::E2EEClient(Services services)
    : services_(std::move(services)), stateFile_(services_.stateDirectory), account_(E2EEJSON::object()),
      items_(std::make_shared<const std::vector<E2EEJSON>>()) {
    const Url& api = services_.api;
    if (api.scheme() != "https" || api.path().empty() || api.path().back() != '/' || !api.query().empty()) {
        throw std::invalid_argument("The account-API base must be an https URL whose path ends with \"/\".");
    }
    if (!services_.credentials.session || !services_.credentials.token || !services_.credentials.secret) {
        throw std::invalid_argument("The encryption client needs all three credential functions.");
    }
}

std::shared_ptr<E2EEClient> E2EEClient::shared() {
    static const std::shared_ptr<E2EEClient> client = std::make_shared<E2EEClient>(Services{
        HttpTransport::shared(),
        Credentials::system(),
        MappingStore::shared(),
        Clock::system(),
        accountAPIURL(),
        E2EEStateFile::defaultDirectory(),
        std::max<std::size_t>(1, std::thread::hardware_concurrency()),
    });
    return client;
}

std::string E2EEClient::currentSessionID() const {
    const std::optional<DesktopSession> session = services_.credentials.session();
    if (!session || !session->sessionID) throw DesktopError::notAuthenticated();
    return *session->sessionID;
}

Url E2EEClient::requestURL(std::string_view path) const {
    const std::size_t question = path.find('?');
    const std::string_view pathPart = path.substr(0, question);
    if (!isPlainRelativePath(pathPart)) throw E2EEError::invalid();
    if (question != std::string_view::npos && !isPlainQuery(path.substr(question + 1))) throw E2EEError::invalid();

    const Url& api = services_.api;
    const std::optional<Url> url = Url::parse(api.string() + std::string(path));
    if (!url || url->scheme() != api.scheme() || url->host() != api.host() || url->port() != api.port() ||
        !url->path().starts_with(api.path()) || url->path().size() <= api.path().size()) {
        throw E2EEError::invalid();
    }
    return *url;
}

E2EEJSON E2EEClient::requestJSON(std::string_view path, const std::string& method, const std::optional<E2EEJSON>& body,
                                 const HttpHeaders& headers, double timeoutSeconds, std::stop_token stop) const {
    // A path that would leave the account API is refused before anything,
    // the token included, is asked for.
    const Url url = requestURL(path);

    const std::string sessionID = currentSessionID();
    const std::string token = services_.credentials.token(stop);
    if (currentSessionID() != sessionID) throw E2EEError::sessionChanged();

    HttpRequest request(method, url);
    request.timeoutSeconds = timeoutSeconds;
    E2EERedirectGuard().apply(request);
    request.headers.set("Authorization", "Bearer " + token);
    request.headers.set("Accept", "application/json");
    request.headers.set("User-Agent", kUserAgent);
    if (body) {
        request.body = bytesOf(body->canonicalString());
        request.headers.set("Content-Type", "application/json");
    }
    for (const auto& [name, value] : headers.fields()) request.headers.set(name, value);

    // The cap holds while the reply arrives: the piece that would pass it
    // ends the transfer, so no more than the cap is ever kept.
    Bytes reply;
    const HttpResponse response = services_.transport.stream(
        request,
        [&reply](const std::uint8_t* data, std::size_t size) {
            if (size > kMaxReplyBytes - reply.size()) throw E2EEError::invalid();
            reply.insert(reply.end(), data, data + size);
        },
        stop);

    // A reply that arrived for another session is never used, not even a 2xx.
    if (currentSessionID() != sessionID) throw E2EEError::sessionChanged();

    if (response.status < 100 || response.status > 599) throw DesktopError::invalidResponse();
    if (response.status >= 200 && response.status <= 299) {
        if (reply.empty()) return E2EEJSON::object();
        return E2EEJSON::parse(std::string_view(reinterpret_cast<const char*>(reply.data()), reply.size()));
    }
    if (response.status == 409) throw E2EEError::conflict();
    throw DesktopError::server(response.status, kServerFailureMessage);
}

}  // namespace nimbuscrate
