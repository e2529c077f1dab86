#include "tools/localservice/LocalService.h"

#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <list>
#include <stdexcept>
#include <thread>

#include "tools/localservice/AccountApi.h"
#include "tools/localservice/CountingHost.h"
#include "tools/localservice/DavServer.h"
#include "tools/localservice/EncryptedThumbnailStore.h"
#include "tools/localservice/HttpExchange.h"
#include "tools/localservice/IdentityProvider.h"
#include "tools/localservice/SeedFile.h"
#include "tools/localservice/Thumbnailer.h"
#include "tools/localservice/TlsIdentity.h"
#include "tools/localservice/UploadApi.h"

#ifndef NIMBUSCRATE_IDENTITY_HOST
#define NIMBUSCRATE_IDENTITY_HOST "login.nimbuscrate.com"
#endif
#ifndef NIMBUSCRATE_WEBAPP_HOST
#define NIMBUSCRATE_WEBAPP_HOST "drive.nimbuscrate.com"
#endif
#ifndef NIMBUSCRATE_MEDIA_HOST
#define NIMBUSCRATE_MEDIA_HOST "media.nimbuscrate.com"
#endif
#ifndef NIMBUSCRATE_ACCOUNT_API_HOST
#define NIMBUSCRATE_ACCOUNT_API_HOST "api.nimbuscrate.com"
#endif
#ifndef NIMBUSCRATE_CONTROL_PANEL_HOST
#define NIMBUSCRATE_CONTROL_PANEL_HOST "account.nimbuscrate.com"
#endif

namespace nimbuscrate::localservice {

namespace fs = std::filesystem;
namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

std::string identityHost() { return lowercase(NIMBUSCRATE_IDENTITY_HOST); }
std::string webAppHost() { return lowercase(NIMBUSCRATE_WEBAPP_HOST); }
std::string mediaHost() { return lowercase(NIMBUSCRATE_MEDIA_HOST); }
std::string accountApiHost() { return lowercase(NIMBUSCRATE_ACCOUNT_API_HOST); }
std::string controlPanelHost() { return lowercase(NIMBUSCRATE_CONTROL_PANEL_HOST); }

namespace {

constexpr std::size_t kFileChunk = 256 * 1024;

fs::path makeTemporaryDirectory() {
    std::string pattern = (fs::temp_directory_path() / "nimbuscrate-localservice-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary data directory");
    return pattern;
}

// Header values never carry line breaks into the reply.
std::string headerSafe(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c != '\r' && c != '\n') out += c;
    }
    return out;
}

std::string reasonPhrase(int status) {
    auto reason = http::obsolete_reason(static_cast<http::status>(status));
    if (reason.empty() || reason == "<unknown-status>") return "Status";
    return std::string(reason);
}

bool requiresNoBody(int status) {
    return status == 204 || status == 304 || (status >= 100 && status < 200);
}

// Changes a 206 reply the way the fault says (RangeFault in FaultKnobs.h).
void applyRangeFault(Reply& reply, RangeFault fault) {
    auto contentRange = std::find_if(reply.headers.begin(), reply.headers.end(),
                                     [](const auto& field) { return equalsIgnoringCase(field.first, "Content-Range"); });
    if (contentRange == reply.headers.end()) return;
    std::string& value = contentRange->second;
    const std::size_t slash = value.rfind('/');
    switch (fault) {
        case RangeFault::ignoreRange:
            break;
        case RangeFault::unknownTotal:
            if (slash != std::string::npos) value = value.substr(0, slash + 1) + "*";
            break;
        case RangeFault::wrongTotal:
            if (slash != std::string::npos) {
                value = value.substr(0, slash + 1) + std::to_string(std::stoull(value.substr(slash + 1)) + 1);
            }
            break;
        case RangeFault::oneByteMore:
            if (reply.file) {
                // Into memory: at the end of the file there is no next byte to send.
                std::string body(reply.fileLength, '\0');
                const ssize_t got = ::pread(reply.file->fd(), body.data(), body.size(),
                                            static_cast<off_t>(reply.fileOffset));
                if (got != static_cast<ssize_t>(body.size())) throw std::runtime_error("cannot read the range");
                reply.body = std::move(body);
                reply.file.reset();
            }
            reply.body += '\x5a';
            break;
        case RangeFault::oneByteLess:
            if (reply.file) {
                if (reply.fileLength > 0) --reply.fileLength;
            } else if (!reply.body.empty()) {
                reply.body.pop_back();
            }
            break;
    }
}

}  // namespace

struct LocalService::Impl {
    struct Connection {
        std::thread thread;
        int fd = -1;
        std::atomic<bool> done{false};
    };

    fs::path dataDirectory;
    bool removeDataDirectory = false;
    fs::path caFile;
    asio::io_context io;
    asio::ssl::context tls{asio::ssl::context::tls_server};
    tcp::acceptor acceptor{io};
    std::uint16_t port = 0;

    RequestLog log;
    FaultKnobs knobs;
    IdentityProvider identity;
    std::unique_ptr<DavServer> files;
    std::unique_ptr<Thumbnailer> thumbnails;
    std::unique_ptr<AccountApi> accounts;
    std::unique_ptr<UploadApi> uploads;
    EncryptedThumbnailStore encryptedThumbnails{[this](const std::string& nodeId, const std::string& revisionId) {
        return EncryptedThumbnailStore::findUploadedBlob(*accounts, *files, nodeId, revisionId);
    }};

    std::atomic<bool> stopping{false};
    std::atomic<std::uint64_t> accepted{0};
    std::mutex stopMutex;
    std::condition_variable stopSignal;
    std::mutex connectionsMutex;
    std::list<std::unique_ptr<Connection>> connections;
    std::thread acceptThread;

    explicit Impl(const Options& options);
    ~Impl();

    void acceptLoop();
    void serve(tcp::socket& socket, std::uint64_t connectionNumber);
    Reply respond(IncomingRequest& request, FaultPlan& plan);
    Reply route(IncomingRequest& request);
    bool authorised(const IncomingRequest& request) const;
    // Sleeps unless the service stops first; false when stopping.
    bool pause(std::chrono::milliseconds duration);
    template <class Stream>
    bool writeReply(Stream& stream, const Reply& reply, bool omitBody, bool keepAlive, const FaultPlan& plan);
};

LocalService::Impl::Impl(const Options& options) {
    if (options.dataDirectory.empty()) {
        dataDirectory = makeTemporaryDirectory();
        removeDataDirectory = true;
    } else {
        dataDirectory = options.dataDirectory;
        fs::create_directories(dataDirectory);
    }
    std::error_code ignored;
    fs::remove_all(dataDirectory / "spool", ignored);

    auto tlsIdentity = TlsIdentity::create(
        {identityHost(), webAppHost(), mediaHost(), accountApiHost(), controlPanelHost()});
    caFile = tlsIdentity.writeCaCertificate(dataDirectory / "tls");
    tls.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                    asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1);
    tls.use_certificate_chain(asio::buffer(tlsIdentity.serverCertificatePem));
    tls.use_private_key(asio::buffer(tlsIdentity.serverKeyPem), asio::ssl::context::pem);

    files = std::make_unique<DavServer>(dataDirectory / "drives", dataDirectory / "spool", webAppHost());
    thumbnails = std::make_unique<Thumbnailer>(*files);
    accounts = std::make_unique<AccountApi>([this] { return std::make_unique<CountingHost>(tls); });
    uploads = std::make_unique<UploadApi>(*accounts, *files, dataDirectory / "uploads", accountApiHost());
    if (options.seedFile) {
        applySeedFile(*options.seedFile, *files);
        applyAccountSeed(*options.seedFile, *accounts);
    }

    tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), options.port);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(asio::socket_base::max_listen_connections);
    port = acceptor.local_endpoint().port();
    acceptThread = std::thread([this] { acceptLoop(); });
}

LocalService::Impl::~Impl() {
    stopping = true;
    {
        // Taking the lock once orders the flag before any sleeper's check.
        std::lock_guard lock(stopMutex);
    }
    stopSignal.notify_all();
    knobs.clear();
    uploads->clearKnobs();
    ::shutdown(acceptor.native_handle(), SHUT_RDWR);
    if (acceptThread.joinable()) acceptThread.join();
    boost::system::error_code ignoredError;
    acceptor.close(ignoredError);
    std::list<std::unique_ptr<Connection>> remaining;
    {
        std::lock_guard lock(connectionsMutex);
        for (auto& connection : connections) {
            if (connection->fd >= 0) ::shutdown(connection->fd, SHUT_RDWR);
        }
        remaining.swap(connections);
    }
    for (auto& connection : remaining) {
        if (connection->thread.joinable()) connection->thread.join();
    }
    uploads.reset();
    accounts.reset();
    thumbnails.reset();
    files.reset();
    if (removeDataDirectory) {
        std::error_code ignored;
        fs::remove_all(dataDirectory, ignored);
    }
}

void LocalService::Impl::acceptLoop() {
    while (!stopping) {
        tcp::socket socket(io);
        boost::system::error_code error;
        acceptor.accept(socket, error);
        if (stopping) break;
        if (error) {
            pause(std::chrono::milliseconds(10));
            continue;
        }
        socket.set_option(tcp::no_delay(true), error);
        const std::uint64_t connectionNumber = ++accepted;
        std::lock_guard lock(connectionsMutex);
        // Join the threads of connections that have ended.
        for (auto it = connections.begin(); it != connections.end();) {
            if ((*it)->done) {
                (*it)->thread.join();
                it = connections.erase(it);
            } else {
                ++it;
            }
        }
        auto connection = std::make_unique<Connection>();
        Connection* raw = connection.get();
        raw->fd = socket.native_handle();
        raw->thread = std::thread([this, raw, connectionNumber, owned = std::move(socket)]() mutable {
            try {
                serve(owned, connectionNumber);
            } catch (const std::exception&) {
                // The connection ends; the service goes on.
            }
            {
                std::lock_guard connectionLock(connectionsMutex);
                raw->fd = -1;
            }
            boost::system::error_code ignored;
            owned.close(ignored);
            raw->done = true;
        });
        connections.push_back(std::move(connection));
    }
}

bool LocalService::Impl::pause(std::chrono::milliseconds duration) {
    std::unique_lock lock(stopMutex);
    return !stopSignal.wait_for(lock, duration, [&] { return stopping.load(); });
}

bool LocalService::Impl::authorised(const IncomingRequest& request) const {
    std::string header = request.info.headers.value("Authorization");
    if (header.size() < 7 || lowercase(header.substr(0, 7)) != "bearer ") return false;
    return identity.isAccessTokenLive(header.substr(7));
}

Reply LocalService::Impl::route(IncomingRequest& request) {
    const auto& info = request.info;
    const std::string& host = info.host;
    if (host == identityHost()) {
        return identity.handle(request);
    }
    if (host != webAppHost() && host != mediaHost() && host != accountApiHost() && host != controlPanelHost()) {
        return Reply::text(421, "This service does not serve " + host + "\n");
    }
    if (host == controlPanelHost()) return Reply::text(404, "Not found\n");
    // A part URL carries its own credential (its signature), never a bearer token.
    if (host == accountApiHost() && UploadApi::servesPart(info.path)) return uploads->handlePart(request);
    if (!authorised(request)) {
        Reply reply = Reply::json(401, R"({"error":"invalid_token"})");
        reply.header("WWW-Authenticate", "Bearer realm=\"nimbuscrate\", error=\"invalid_token\"");
        return reply;
    }
    // Encrypted blobs (files of a drive) and sealed thumbnails answer the
    // account API's redirect knobs.
    const bool encryptedThumbnail = host == mediaHost() && info.path == EncryptedThumbnailStore::kPath;
    if (encryptedThumbnail || (host == webAppHost() && info.path.starts_with("/dav/spaces/"))) {
        if (std::optional<Reply> redirect = accounts->redirectReply(info)) return std::move(*redirect);
    }
    if (encryptedThumbnail) return encryptedThumbnails.handle(request);
    if (host == webAppHost()) {
        if (info.path == "/graph/v1.0/me/drives") return files->drivesListing(request);
        DavServer::Target target;
        switch (files->match(info.path, target)) {
            case DavServer::Match::target: return files->handle(request, target);
            case DavServer::Match::invalidPath: return Reply::text(400, "Invalid path\n");
            case DavServer::Match::none: return Reply::text(404, "Not found\n");
        }
    }
    if (host == mediaHost() && info.path == "/v1/thumbnail") return thumbnails->handle(request);
    if (host == accountApiHost() && AccountApi::serves(info.path)) return accounts->handle(request);
    if (host == accountApiHost() && UploadApi::serves(info.path)) return uploads->handle(request);
    return Reply::text(404, "Not found\n");
}

Reply LocalService::Impl::respond(IncomingRequest& request, FaultPlan& plan) {
    if (plan.delay.count() > 0) pause(plan.delay);
    for (auto& gate : plan.gates) gate->pass();
    if (plan.reply) {
        Reply reply;
        reply.status = plan.reply->status;
        reply.headers = plan.reply->headers;
        reply.body = plan.reply->body;
        reply.chunked = plan.reply->chunked;
        return reply;
    }
    Reply reply;
    try {
        if (plan.rangeFault == RangeFault::ignoreRange) {
            HeaderFields kept;
            for (const auto& [name, value] : request.info.headers.fields()) {
                if (!equalsIgnoringCase(name, "Range")) kept.add(name, value);
            }
            request.info.headers = std::move(kept);
        }
        reply = route(request);
        if (plan.rangeFault && reply.status == 206) applyRangeFault(reply, *plan.rangeFault);
    } catch (const std::exception& error) {
        reply = Reply::text(500, std::string("Internal error: ") + error.what() + "\n");
    }
    for (auto& gate : plan.replyGates) gate->pass();
    return reply;
}

template <class Stream>
bool LocalService::Impl::writeReply(Stream& stream, const Reply& reply, bool omitBody, bool keepAlive,
                                    const FaultPlan& plan) {
    std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + reasonPhrase(reply.status) + "\r\n";
    std::time_t now = std::time(nullptr);
    head += "Date: " + httpDate(static_cast<std::int64_t>(now)) + "\r\n";
    head += "Server: nimbuscrate-localservice\r\n";
    for (const auto& [name, value] : reply.headers) head += headerSafe(name) + ": " + headerSafe(value) + "\r\n";
    const bool noBody = requiresNoBody(reply.status);
    const bool chunked = reply.chunked && !noBody;
    if (chunked) {
        head += "Transfer-Encoding: chunked\r\n";
    } else if (!noBody) {
        head += "Content-Length: " + std::to_string(reply.bodyLength()) + "\r\n";
    }
    if (!keepAlive) head += "Connection: close\r\n";
    head += "\r\n";
    boost::system::error_code error;
    asio::write(stream, asio::buffer(head), error);
    if (error) return false;
    if (noBody || omitBody) return true;
    // Chunked: every piece written below is one chunk, then the last chunk.
    auto writePiece = [&](const char* data, std::size_t size) {
        if (!chunked) {
            asio::write(stream, asio::buffer(data, size), error);
            return;
        }
        char sizeLine[32];
        std::snprintf(sizeLine, sizeof sizeLine, "%zx\r\n", size);
        const std::array<asio::const_buffer, 3> framed{asio::buffer(sizeLine, std::strlen(sizeLine)),
                                                       asio::buffer(data, size), asio::buffer("\r\n", 2)};
        asio::write(stream, framed, error);
    };
    auto finish = [&] {
        if (chunked) asio::write(stream, asio::buffer(std::string_view("0\r\n\r\n")), error);
        return !error;
    };
    if (reply.bodyLength() == 0) return finish();

    const bool slow = plan.slowChunkBytes > 0;
    const std::size_t chunk = slow ? plan.slowChunkBytes : kFileChunk;
    std::uint64_t sent = 0;
    const std::uint64_t total = reply.bodyLength();
    std::vector<char> buffer(reply.file ? std::min<std::uint64_t>(chunk, total) : 0);
    bool stalled = false;
    while (sent < total) {
        if (stopping) return false;
        if (slow && sent > 0 && !pause(plan.slowPause)) return false;
        std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, total - sent));
        if (plan.stallGate && !stalled) {
            if (sent >= plan.stallAfterBytes) {
                plan.stallGate->pass();
                stalled = true;
                if (stopping) return false;
            } else {
                piece = static_cast<std::size_t>(std::min<std::uint64_t>(piece, plan.stallAfterBytes - sent));
            }
        }
        if (reply.file) {
            ssize_t got = ::pread(reply.file->fd(), buffer.data(), piece, static_cast<off_t>(reply.fileOffset + sent));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;  // the file shrank: the reply cannot be completed
            writePiece(buffer.data(), static_cast<std::size_t>(got));
            sent += static_cast<std::uint64_t>(got);
        } else {
            writePiece(reply.body.data() + sent, piece);
            sent += piece;
        }
        if (error) return false;
    }
    return finish();
}

namespace {

// SHA-256 of a request body as it arrives.
class BodyDigest {
public:
    BodyDigest() : context_(EVP_MD_CTX_new()) {
        if (!context_ || EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1) {
            EVP_MD_CTX_free(context_);
            throw std::runtime_error("SHA-256 is not available");
        }
    }
    ~BodyDigest() { EVP_MD_CTX_free(context_); }
    BodyDigest(const BodyDigest&) = delete;
    BodyDigest& operator=(const BodyDigest&) = delete;

    void update(const char* data, std::size_t size) { EVP_DigestUpdate(context_, data, size); }
    std::string hex() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(context_, digest, &length);
        static const char* digits = "0123456789abcdef";
        std::string out;
        for (unsigned int i = 0; i < length; ++i) {
            out += digits[digest[i] >> 4];
            out += digits[digest[i] & 15];
        }
        return out;
    }

private:
    EVP_MD_CTX* context_;
};

}  // namespace

void LocalService::Impl::serve(tcp::socket& socket, std::uint64_t connectionNumber) {
    asio::ssl::stream<tcp::socket&> stream(socket, tls);
    boost::system::error_code error;
    stream.handshake(asio::ssl::stream_base::server, error);
    if (error) return;
    boost::beast::flat_buffer buffer;
    const fs::path spool = dataDirectory / "spool";
    while (!stopping) {
        http::request_parser<http::buffer_body> parser;
        parser.header_limit(64 * 1024);
        parser.body_limit(std::numeric_limits<std::uint64_t>::max());
        http::read_header(stream, buffer, parser, error);
        if (error) {
            if (error != http::error::end_of_stream &&
                error.category() == http::make_error_code(http::error::bad_target).category()) {
                FaultPlan none;
                writeReply(stream, Reply::text(400, "Malformed request\n"), false, false, none);
            }
            return;
        }
        auto& message = parser.get();
        IncomingRequest request;
        auto& info = request.info;
        info.connection = connectionNumber;
        info.method = std::string(message.method_string());
        info.target = std::string(message.target());
        for (const auto& field : message) info.headers.add(std::string(field.name_string()), std::string(field.value()));
        std::string hostHeader = info.headers.value("Host");
        if (!hostHeader.empty() && hostHeader.front() == '[') {
            info.host = lowercase(hostHeader.substr(0, hostHeader.find(']') + 1));
        } else {
            info.host = lowercase(hostHeader.substr(0, hostHeader.find(':')));
        }
        bool wellFormed = info.headers.count("Host") == 1 && !info.target.empty() && info.target.front() == '/';
        std::string_view target = info.target;
        auto question = target.find('?');
        std::string_view rawPath = target.substr(0, question);
        if (!percentDecode(rawPath, false, info.path) || info.path.find('\0') != std::string::npos) {
            wellFormed = false;
            info.path = std::string(rawPath);
        }
        if (question != std::string_view::npos) {
            std::string_view query = target.substr(question + 1);
            while (!query.empty()) {
                auto end = query.find('&');
                std::string_view pair = query.substr(0, end);
                query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
                if (pair.empty()) continue;
                auto equals = pair.find('=');
                std::string key, value;
                bool decoded = percentDecode(pair.substr(0, equals), true, key) &&
                               percentDecode(equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1),
                                             true, value);
                if (!decoded) wellFormed = false;
                info.query.emplace_back(std::move(key), std::move(value));
            }
        }

        if (lowercase(info.headers.value("Expect")) == "100-continue" && !parser.is_done()) {
            asio::write(stream, asio::buffer(std::string_view("HTTP/1.1 100 Continue\r\n\r\n")), error);
            if (error) return;
        }
        // A part of an upload goes straight to its place in the upload's blob.
        if (wellFormed && info.host == accountApiHost() && !parser.is_done()) uploads->placePartBody(request);
        std::vector<char> chunk(64 * 1024);
        BodyDigest digest;
        while (!parser.is_done()) {
            message.body().data = chunk.data();
            message.body().size = chunk.size();
            http::read(stream, buffer, parser, error);
            if (error == http::error::need_buffer) error = {};
            if (error) return;
            std::size_t got = chunk.size() - message.body().size;
            if (got == 0) continue;
            request.body.append(chunk.data(), got, spool);
            digest.update(chunk.data(), got);
            if (info.body.size() < RecordedRequest::kBodyKept) {
                info.body.append(chunk.data(), std::min(got, RecordedRequest::kBodyKept - info.body.size()));
            }
        }
        request.body.finish();
        info.bodySha256 = digest.hex();
        info.bodyLength = request.body.size();
        info.bodyTruncated = info.bodyLength > info.body.size();
        const bool keepAlive = message.keep_alive() && wellFormed;
        log.add(info);

        FaultPlan plan = knobs.planFor(info.method, info.host, info.path);
        if (plan.dropConnection || stopping) return;
        Reply reply = wellFormed ? respond(request, plan) : Reply::text(400, "Malformed request\n");
        if (stopping || reply.dropConnection) return;
        if (!writeReply(stream, reply, reply.headOnly || info.method == "HEAD", keepAlive, plan)) return;
        if (!keepAlive) {
            stream.shutdown(error);
            return;
        }
    }
}

LocalService::LocalService(Options options) : impl_(std::make_unique<Impl>(options)) {}

LocalService::~LocalService() = default;

std::uint16_t LocalService::port() const { return impl_->port; }

std::string LocalService::address() const { return "127.0.0.1:" + std::to_string(impl_->port); }

fs::path LocalService::caCertificateFile() const { return impl_->caFile; }

fs::path LocalService::dataDirectory() const { return impl_->dataDirectory; }

void LocalService::useForThisProcess() const {
    ::setenv("NIMBUSCRATE_DEV_SERVICE", address().c_str(), 1);
    ::setenv("NIMBUSCRATE_DEV_CA_FILE", impl_->caFile.c_str(), 1);
}

RequestLog& LocalService::requests() { return impl_->log; }

std::uint64_t LocalService::connectionsAccepted() const { return impl_->accepted; }

void LocalService::overrideStatus(const Route& route, int status, int times, std::string body, std::string contentType) {
    ReplyOverride reply;
    reply.status = status;
    if (!contentType.empty()) reply.headers.emplace_back("Content-Type", std::move(contentType));
    reply.body = std::move(body);
    impl_->knobs.overrideReply(route, std::move(reply), times);
}

void LocalService::overrideReply(const Route& route, ReplyOverride reply, int times) {
    impl_->knobs.overrideReply(route, std::move(reply), times);
}

void LocalService::delay(const Route& route, std::chrono::milliseconds duration) { impl_->knobs.delay(route, duration); }

std::shared_ptr<HoldGate> LocalService::hold(const Route& route) { return impl_->knobs.hold(route); }

std::shared_ptr<HoldGate> LocalService::holdReply(const Route& route) { return impl_->knobs.hold(route, true); }

void LocalService::ignoreIfNoneMatch(bool ignore) { impl_->files->ignoreIfNoneMatch(ignore); }

void LocalService::dropConnection(const Route& route, int times) { impl_->knobs.dropConnection(route, times); }

void LocalService::slowBody(const Route& route, std::size_t chunkBytes, std::chrono::milliseconds pause) {
    impl_->knobs.slowBody(route, chunkBytes, pause);
}

void LocalService::clearFaults() {
    impl_->knobs.clear();
    impl_->accounts->clearKnobs();
    impl_->encryptedThumbnails.clearKnobs();
    impl_->uploads->clearKnobs();
}

IssuedTokens LocalService::issueTokens() { return impl_->identity.issue(); }

void LocalService::rotateRefreshTokens(bool rotate) { impl_->identity.rotateRefreshTokens(rotate); }

void LocalService::setAccessTokenLifetime(std::chrono::seconds lifetime) {
    impl_->identity.setAccessTokenLifetime(lifetime);
}

std::size_t LocalService::grantCount() const { return impl_->identity.grantCount(); }

bool LocalService::isAccessTokenLive(const std::string& accessToken) const {
    return impl_->identity.isAccessTokenLive(accessToken);
}

bool LocalService::isRefreshTokenLive(const std::string& refreshToken) const {
    return impl_->identity.isRefreshTokenLive(refreshToken);
}

void LocalService::expireAccessToken(const std::string& accessToken) { impl_->identity.expireAccessToken(accessToken); }

IdentityProvider& LocalService::identityProvider() { return impl_->identity; }

void LocalService::addDrive(const Drive& drive) { impl_->files->addDrive(drive); }

std::vector<Drive> LocalService::drives() const { return impl_->files->drives(); }

fs::path LocalService::driveDirectory(const std::string& driveId) const { return impl_->files->driveDirectory(driveId); }

std::optional<std::string> LocalService::fileId(const std::string& driveId, const std::string& path) const {
    return impl_->files->fileId(driveId, path);
}

std::string LocalService::webDavUrl(const std::string& driveId) const { return impl_->files->webDavUrl(driveId); }

AccountApi& LocalService::accountApi() { return *impl_->accounts; }

UploadApi& LocalService::uploads() { return *impl_->uploads; }

void LocalService::putEncryptedThumbnail(const std::string& nodeId, const std::string& revisionId, std::string bytes) {
    impl_->encryptedThumbnails.put(nodeId, revisionId, std::move(bytes));
}

EncryptedThumbnailStore& LocalService::encryptedThumbnails() { return impl_->encryptedThumbnails; }

void LocalService::rangeFault(const Route& route, RangeFault fault, int times) {
    impl_->knobs.rangeFault(route, fault, times);
}

std::shared_ptr<HoldGate> LocalService::stallBody(const Route& route, std::size_t afterBytes) {
    return impl_->knobs.stallBody(route, afterBytes);
}

}  // namespace nimbuscrate::localservice
