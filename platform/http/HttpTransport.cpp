#include "platform/http/HttpTransport.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/CancellationError.h"
#include "platform/http/TransportError.h"

#ifdef NIMBUSCRATE_DEVELOPMENT
#include "platform/http/DevelopmentRoute.h"
#endif

namespace nimbuscrate {

namespace {

void ensureCurlInitialised() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The libcurl handles of the process, shared by every thread.
//
// An easy handle keeps the connections it opened across requests (and across
// curl_easy_reset). Idle handles wait here between requests and are lent to
// whichever thread sends next, preferring one that last talked to the
// request's server, so a connection opened by one thread is reused by the
// next request of any thread. A handle is used by one thread at a time, as
// libcurl requires; it may move between threads.
//
// libcurl's own shared connection cache (CURL_LOCK_DATA_CONNECT) is not
// supported between concurrent threads, so it is not used. The DNS cache and
// the TLS sessions are shared through one share object, with one lock for
// each kind of data libcurl locks.
class HandlePool {
public:
    // An easy handle and the servers it talked to last, the latest first.
    struct Handle {
        CURL* curl = nullptr;
        std::vector<std::string> origins;
    };

    // Never destroyed: a transfer on another thread may still run at exit.
    static HandlePool& shared() {
        static HandlePool& pool = *new HandlePool();
        return pool;
    }

    // An idle handle that last talked to `origin`, else the idle handle
    // returned last, else a new one.
    Handle acquire(const std::string& origin) {
        {
            std::lock_guard lock(mutex_);
            if (!idle_.empty()) {
                auto chosen = std::find_if(idle_.rbegin(), idle_.rend(), [&](const Handle& handle) {
                    return std::find(handle.origins.begin(), handle.origins.end(), origin) != handle.origins.end();
                });
                if (chosen == idle_.rend()) chosen = idle_.rbegin();
                Handle handle = std::move(*chosen);
                idle_.erase(std::next(chosen).base());
                return handle;
            }
        }
        Handle handle;
        handle.curl = curl_easy_init();
        if (!handle.curl) throw TransportError(TransportError::Kind::unknown, "The HTTP client could not be created.");
        if (share_) curl_easy_setopt(handle.curl, CURLOPT_SHARE, share_);
        return handle;
    }

    // Takes the handle back after a request to `origin`.
    void release(Handle handle, const std::string& origin) {
        // Back to the default options, so that no idle handle points at the
        // request's buffers and callbacks; the connections, the caches and
        // the share stay.
        curl_easy_reset(handle.curl);
        std::erase(handle.origins, origin);
        handle.origins.insert(handle.origins.begin(), origin);
        if (handle.origins.size() > kOriginsKept) handle.origins.resize(kOriginsKept);
        {
            std::lock_guard lock(mutex_);
            if (idle_.size() < kMaxIdleHandles) {
                idle_.push_back(std::move(handle));
                return;
            }
        }
        curl_easy_cleanup(handle.curl);  // closes its connections
    }

private:
    // Handles beyond this many idle ones are closed when their request ends.
    static constexpr std::size_t kMaxIdleHandles = 8;
    // libcurl keeps up to five connections per handle by default.
    static constexpr std::size_t kOriginsKept = 5;

    HandlePool() {
        share_ = curl_share_init();
        if (!share_) return;  // each handle then keeps its own caches
        curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, lockShare);
        curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, unlockShare);
        curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }

    static std::mutex& shareLock(void* context, curl_lock_data data) {
        auto& locks = static_cast<HandlePool*>(context)->shareLocks_;
        const auto index = static_cast<std::size_t>(data);
        return locks[index < locks.size() ? index : 0];
    }
    static void lockShare(CURL*, curl_lock_data data, curl_lock_access, void* context) {
        shareLock(context, data).lock();
    }
    static void unlockShare(CURL*, curl_lock_data data, void* context) { shareLock(context, data).unlock(); }

    CURLSH* share_ = nullptr;
    std::array<std::mutex, CURL_LOCK_DATA_LAST> shareLocks_;  // one per kind of shared data

    std::mutex mutex_;
    std::vector<Handle> idle_;  // the handle returned last at the end
};

// A handle of the pool, lent for one request to `origin` and given back when
// the request ends.
class LentHandle {
public:
    explicit LentHandle(std::string origin)
        : origin_(std::move(origin)), handle_(HandlePool::shared().acquire(origin_)) {}
    ~LentHandle() { HandlePool::shared().release(std::move(handle_), origin_); }
    LentHandle(const LentHandle&) = delete;
    LentHandle& operator=(const LentHandle&) = delete;
    CURL* get() const { return handle_.curl; }

private:
    std::string origin_;
    HandlePool::Handle handle_;
};

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

void append(Slist& list, const std::string& line) {
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (!grown) throw std::bad_alloc();
    (void)list.release();
    list.reset(grown);
}

bool isFollowedRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string upperCased(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// Where the reply body goes.
struct Sink {
    enum class Kind { memory, file, consumer } kind = Kind::memory;
    Bytes* memory = nullptr;
    int fd = -1;
    const HttpTransport::Consumer* consumer = nullptr;
    const HttpTransport::HeadHandler* head = nullptr;
};

// The state one hop's callbacks share.
struct Hop {
    CURL* handle = nullptr;
    Sink sink;
    RedirectPolicy policy = RedirectPolicy::followHttps;
    std::optional<std::uint64_t> cap;
    std::stop_token stop;

    // Idle time-out: the hop fails once no byte has moved either way for this long.
    std::chrono::steady_clock::duration idleLimit{};
    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
    curl_off_t uploaded = 0;
    bool idleTimedOut = false;

    // Reply side.
    HttpHeaders headers;
    bool bodyDecided = false;
    bool discardBody = false;
    std::uint64_t received = 0;
    bool capExceeded = false;
    bool writeFailed = false;
    std::exception_ptr consumerError;

    // Request body.
    const Bytes* bodyBytes = nullptr;
    int bodyFd = -1;
    std::uint64_t bodyOffset = 0;
    bool readFailed = false;
};

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

std::size_t onWrite(char* data, std::size_t size, std::size_t count, void* context) {
    Hop& hop = *static_cast<Hop*>(context);
    const std::size_t length = size * count;
    hop.lastActivity = std::chrono::steady_clock::now();
    if (!hop.bodyDecided) {
        // The body of a redirect that will be followed is nobody's business.
        long status = 0;
        curl_easy_getinfo(hop.handle, CURLINFO_RESPONSE_CODE, &status);
        hop.discardBody = hop.policy == RedirectPolicy::followHttps && isFollowedRedirect(status) &&
                          hop.headers.contains("Location");
        hop.bodyDecided = true;
        if (!hop.discardBody && hop.sink.head) {
            try {
                (*hop.sink.head)(status, hop.headers);
            } catch (...) {
                hop.consumerError = std::current_exception();
                return 0;
            }
        }
    }
    if (hop.discardBody) return length;
    if (hop.cap && hop.received + length > *hop.cap) {
        hop.capExceeded = true;
        return 0;
    }
    hop.received += length;
    switch (hop.sink.kind) {
        case Sink::Kind::memory:
            hop.sink.memory->insert(hop.sink.memory->end(), data, data + length);
            break;
        case Sink::Kind::file:
            if (!writeAll(hop.sink.fd, data, length)) {
                hop.writeFailed = true;
                return 0;
            }
            break;
        case Sink::Kind::consumer:
            try {
                (*hop.sink.consumer)(reinterpret_cast<const std::uint8_t*>(data), length);
            } catch (...) {
                hop.consumerError = std::current_exception();
                return 0;
            }
            break;
    }
    return length;
}

std::string trimmed(std::string_view text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r' ||
                           text[end - 1] == '\n')) {
        --end;
    }
    return std::string(text.substr(begin, end - begin));
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* context) {
    Hop& hop = *static_cast<Hop*>(context);
    const std::size_t length = size * count;
    hop.lastActivity = std::chrono::steady_clock::now();
    const std::string_view line(data, length);
    if (line.starts_with("HTTP/")) {
        // A new reply begins (after an interim 1xx): its fields replace the old ones.
        hop.headers = HttpHeaders();
        return length;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return length;
    hop.headers.add(trimmed(line.substr(0, colon)), trimmed(line.substr(colon + 1)));
    return length;
}

std::size_t onRead(char* buffer, std::size_t size, std::size_t count, void* context) {
    Hop& hop = *static_cast<Hop*>(context);
    const std::size_t room = size * count;
    if (hop.bodyBytes) {
        const std::uint64_t left = hop.bodyBytes->size() - hop.bodyOffset;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, room));
        std::memcpy(buffer, hop.bodyBytes->data() + hop.bodyOffset, n);
        hop.bodyOffset += n;
        return n;
    }
    while (true) {
        const ssize_t n = ::read(hop.bodyFd, buffer, room);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno == EINTR) continue;
        hop.readFailed = true;
        return CURL_READFUNC_ABORT;
    }
}

int onSeek(void* context, curl_off_t offset, int origin) {
    Hop& hop = *static_cast<Hop*>(context);
    if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
    if (hop.bodyBytes) {
        if (static_cast<std::uint64_t>(offset) > hop.bodyBytes->size()) return CURL_SEEKFUNC_FAIL;
        hop.bodyOffset = static_cast<std::uint64_t>(offset);
        return CURL_SEEKFUNC_OK;
    }
    return ::lseek(hop.bodyFd, offset, SEEK_SET) < 0 ? CURL_SEEKFUNC_FAIL : CURL_SEEKFUNC_OK;
}

// Called by libcurl at least once a second, also while nothing moves.
int onProgress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded) {
    Hop& hop = *static_cast<Hop*>(context);
    if (hop.stop.stop_requested()) return 1;
    const auto now = std::chrono::steady_clock::now();
    if (uploaded != hop.uploaded) {
        hop.uploaded = uploaded;
        hop.lastActivity = now;
    } else if (now - hop.lastActivity >= hop.idleLimit) {
        hop.idleTimedOut = true;
        return 1;
    }
    return 0;
}

TransportError::Kind kindOf(CURLcode code) {
    using Kind = TransportError::Kind;
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT: return Kind::timedOut;
        case CURLE_URL_MALFORMAT: return Kind::badURL;
        case CURLE_UNSUPPORTED_PROTOCOL: return Kind::unsupportedURL;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return Kind::cannotFindHost;
        case CURLE_COULDNT_CONNECT: return Kind::cannotConnectToHost;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM: return Kind::connectionLost;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING: return Kind::badServerResponse;
        case CURLE_PEER_FAILED_VERIFICATION: return Kind::serverCertificateUntrusted;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED: return Kind::secureConnectionFailed;
        case CURLE_FILESIZE_EXCEEDED: return Kind::dataTooLarge;
        case CURLE_READ_ERROR: return Kind::cannotReadBody;
        case CURLE_WRITE_ERROR: return Kind::cannotWriteReply;
        default: return Kind::unknown;
    }
}

struct HopRequest {
    const std::string* method = nullptr;
    const Url* url = nullptr;
    const HttpHeaders* headers = nullptr;
    const HttpBody* body = nullptr;  // nullptr: no body
    double timeoutSeconds = 60;
    bool freshConnection = false;
};

struct HopReply {
    long status = 0;
    HttpHeaders headers;
    std::optional<std::string> redirectURL;
    long newConnections = 0;
};

// Opens a body file for reading; the caller closes it.
int openBodyFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw TransportError(TransportError::Kind::cannotReadBody,
                             "The request body file could not be opened: " + std::string(std::strerror(errno)));
    }
    return fd;
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

HopReply performHop(const HopRequest& request, Hop& hop) {
    const LentHandle lent(request.url->origin());
    CURL* curl = lent.get();
    hop.handle = curl;

    char errorBuffer[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_URL, request.url->string().c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 256L * 1024L);
    if (request.freshConnection) curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);

    // Idle time-out: fail once no byte has moved for timeout seconds (the
    // progress callback watches it); never a limit on the whole transfer,
    // however slowly it moves.
    const double timeout = std::max(1.0, request.timeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout * 1000));
    hop.idleLimit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(timeout));
    hop.lastActivity = std::chrono::steady_clock::now();

    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onWrite);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &hop);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &hop);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &hop);
    if (hop.cap) curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(*hop.cap));

    // Method, exactly as given.
    const std::string& method = *request.method;
    const std::string upper = upperCased(method);
    if (upper == "HEAD") curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    // With a body libcurl would otherwise say PUT, whatever the method.
    if (method != "GET" || request.body) curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());

    // Body.
    FileDescriptor bodyFile;
    if (request.body) {
        curl_off_t length = 0;
        if (const auto* bytes = std::get_if<Bytes>(request.body)) {
            hop.bodyBytes = bytes;
            length = static_cast<curl_off_t>(bytes->size());
        } else if (const auto* file = std::get_if<HttpFileBody>(request.body)) {
            bodyFile.reset(openBodyFile(file->path));
            struct stat info {};
            if (::fstat(bodyFile.get(), &info) != 0) {
                throw TransportError(TransportError::Kind::cannotReadBody, "The request body file could not be read.");
            }
            length = info.st_size;
            hop.bodyFd = bodyFile.get();
        }
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, length);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, onRead);
        curl_easy_setopt(curl, CURLOPT_READDATA, &hop);
        curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, onSeek);
        curl_easy_setopt(curl, CURLOPT_SEEKDATA, &hop);
    }

    // Header fields, exactly as given; libcurl's own Accept, Expect and
    // Content-Type are removed unless the caller set them.
    Slist fields;
    for (const auto& [name, value] : request.headers->fields()) {
        append(fields, value.empty() ? name + ";" : name + ": " + value);
    }
    for (const char* own : {"Accept", "Expect", "Content-Type"}) {
        if (!request.headers->contains(own)) append(fields, std::string(own) + ":");
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, fields.get());

    Slist connectTo;
#ifdef NIMBUSCRATE_DEVELOPMENT
    if (DevelopmentRoute::isServiceHost(request.url->host())) {
        if (auto route = DevelopmentRoute::current()) {
            append(connectTo, request.url->host() + ":" + std::to_string(request.url->port()) + ":" + route->address);
            curl_easy_setopt(curl, CURLOPT_CONNECT_TO, connectTo.get());
            curl_easy_setopt(curl, CURLOPT_CAINFO, route->caFile.c_str());
        }
    }
#endif

    const CURLcode result = curl_easy_perform(curl);

    HopReply reply;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &reply.newConnections);
    char* redirect = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &redirect) == CURLE_OK && redirect) {
        reply.redirectURL = std::string(redirect);
    }
    // Nothing of this hop may point at the locals once it returns.
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(curl, CURLOPT_CONNECT_TO, nullptr);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);

    if (result != CURLE_OK) {
        if (hop.stop.stop_requested()) throw CancellationError();
        if (hop.idleTimedOut) {
            throw TransportError(TransportError::Kind::timedOut,
                                 "No data moved for " + std::to_string(static_cast<long>(std::ceil(timeout))) +
                                     " seconds.",
                                 CURLE_OPERATION_TIMEDOUT);
        }
        if (result == CURLE_ABORTED_BY_CALLBACK) throw CancellationError();
        if (hop.consumerError) std::rethrow_exception(hop.consumerError);
        const std::string detail = errorBuffer[0] ? std::string(errorBuffer) : std::string(curl_easy_strerror(result));
        if (hop.capExceeded || result == CURLE_FILESIZE_EXCEEDED) {
            throw TransportError(TransportError::Kind::dataTooLarge,
                                 "The reply is larger than " + std::to_string(hop.cap.value_or(0)) + " bytes.",
                                 result);
        }
        if (hop.readFailed) throw TransportError(TransportError::Kind::cannotReadBody, "The request body could not be read.", result);
        if (hop.writeFailed) throw TransportError(TransportError::Kind::cannotWriteReply, "The reply could not be written: " + detail, result);
        throw TransportError(kindOf(result), detail, result);
    }
    reply.headers = std::move(hop.headers);
    return reply;
}

// A field name is an HTTP token; a value holds no line break and no NUL.
// Anything else would end the field early and let the rest of the text
// (a token from a reply, say) be sent as fields of its own.
bool isToken(std::string_view name) {
    static constexpr std::string_view kSymbols = "!#$%&'*+-.^_`|~";
    if (name.empty()) return false;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (!std::isalnum(u) && kSymbols.find(c) == std::string_view::npos) return false;
    }
    return true;
}

void requireSafeFields(const HttpHeaders& headers) {
    for (const auto& [name, value] : headers.fields()) {
        if (!isToken(name)) {
            throw TransportError(TransportError::Kind::unknown, "A request header name is not a valid field name.");
        }
        if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
            throw TransportError(TransportError::Kind::unknown,
                                 "The request header " + name + " holds a line break or NUL.");
        }
    }
}

HttpResponse run(const HttpRequest& request, const Sink& sink, const std::stop_token& stop) {
    ensureCurlInitialised();
    throwIfCancelled(stop);
    if (request.url.string().empty()) throw TransportError(TransportError::Kind::badURL, "The request has no URL.");
    requireSafeFields(request.headers);

    const std::string firstOrigin = request.url.origin();
    Url url = request.url;
    std::string method = request.method;
    HttpHeaders headers = request.headers;
    bool sendBody = request.hasBody();

    for (int hops = 0;; ++hops) {
        HttpHeaders hopHeaders = headers;
        // Credentials never travel to another origin than the one they were meant for.
        if (url.origin() != firstOrigin) hopHeaders.remove("Authorization");

        Hop hop;
        hop.sink = sink;
        hop.policy = request.redirects;
        hop.cap = request.maxReplyBytes;
        hop.stop = stop;
        HopRequest hopRequest{&method, &url, &hopHeaders, sendBody ? &request.body : nullptr, request.timeoutSeconds,
                              request.freshConnection};
        HopReply reply = performHop(hopRequest, hop);

        if (request.redirects == RedirectPolicy::followHttps && isFollowedRedirect(reply.status) &&
            reply.headers.contains("Location")) {
            if (hops >= HttpRequest::kMaxRedirects) {
                throw TransportError(TransportError::Kind::tooManyRedirects,
                                     "More than " + std::to_string(HttpRequest::kMaxRedirects) + " redirects.");
            }
            std::optional<Url> next = reply.redirectURL ? Url::parse(*reply.redirectURL) : std::nullopt;
            if (!next) throw TransportError(TransportError::Kind::badServerResponse, "The redirect location is not a URL.");
            if (next->scheme() != "https") {
                throw TransportError(TransportError::Kind::insecureRedirect,
                                     "A redirect to a non-https URL was refused: " + next->scheme() + "://" + next->host());
            }
            // As browsers do: 303 turns every method but HEAD into GET, 301 and
            // 302 turn POST into GET; 307 and 308 repeat the request as it was.
            const std::string upper = upperCased(method);
            if ((reply.status == 303 && upper != "HEAD") || ((reply.status == 301 || reply.status == 302) && upper == "POST")) {
                method = "GET";
                sendBody = false;
                headers.remove("Content-Type");
                headers.remove("Content-Length");
            }
            url = std::move(*next);
            continue;
        }

        HttpResponse response;
        response.status = reply.status;
        response.headers = std::move(reply.headers);
        response.url = std::move(url);
        response.redirectCount = hops;
        response.newConnections = reply.newConnections;
        return response;
    }
}

}  // namespace

HttpTransport::HttpTransport() { ensureCurlInitialised(); }

HttpResponse HttpTransport::send(const HttpRequest& request, std::stop_token stop) {
    Bytes body;
    Sink sink;
    sink.kind = Sink::Kind::memory;
    sink.memory = &body;
    HttpResponse response = run(request, sink, stop);
    response.body = std::move(body);
    return response;
}

HttpResponse HttpTransport::download(const HttpRequest& request, const std::filesystem::path& destination,
                                     std::stop_token stop) {
    const int fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw TransportError(TransportError::Kind::cannotWriteReply,
                             "The download file could not be created: " + std::string(std::strerror(errno)));
    }
    FileDescriptor file(fd);
    Sink sink;
    sink.kind = Sink::Kind::file;
    sink.fd = fd;
    try {
        return run(request, sink, stop);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove(destination, ignored);
        throw;
    }
}

HttpResponse HttpTransport::stream(const HttpRequest& request, const Consumer& consumer, std::stop_token stop) {
    return stream(request, HeadHandler(), consumer, stop);
}

HttpResponse HttpTransport::stream(const HttpRequest& request, const HeadHandler& onHead, const Consumer& consumer,
                                   std::stop_token stop) {
    Sink sink;
    sink.kind = Sink::Kind::consumer;
    sink.consumer = &consumer;
    if (onHead) sink.head = &onHead;
    return run(request, sink, stop);
}

HttpTransport& HttpTransport::shared() {
    static HttpTransport transport;
    return transport;
}

}  // namespace nimbuscrate
