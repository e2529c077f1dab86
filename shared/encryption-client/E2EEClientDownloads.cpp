// Encrypted contents: blob locations, whole-blob downloads, ranged reads of
// blobs, and the stored thumbnails of encrypted files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <exception>
#include <string>
#include <utility>

#include "platform/core/CancellationError.h"
#include "platform/core/PlatformError.h"
#include "platform/core/Random.h"
#include "platform/http/UrlBuilding.h"
#include "shared/encryption-client/E2EEClient.h"
#include "shared/encryption-client/E2EERedirectGuard.h"
#include "shared/encryption-client/FileUtilities.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/E2EELibrary.h"
#include "shared/encryption/FileHandle.h"
#include "shared/session/DesktopError.h"
#include "shared/session/ServiceEndpoints.h"

namespace nimbuscrate {

namespace {

// One path segment built from server data: refused when empty, "." or ".."
// (the HTTP library would collapse those), else every byte but the
// unreserved characters percent-encoded, "/" included.
std::string pathSegment(const E2EEJSON& value) {
    const std::string* text = value.stringValue();
    if (!text || text->empty() || *text == "." || *text == "..") throw E2EEError::invalid();
    return percentEncoded(*text, "");
}

// The status a failure reports: the HTTP status, 0 for a reply that is not HTTP.
long replyStatus(long status) { return status >= 100 && status <= 599 ? status : 0; }

// Thrown from a head handler to end a transfer whose status is already
// known to fail; the caller reports the status after its own checks.
struct StopTransfer {};

// The ciphertext of one download: a new private file, removed when this
// goes, whatever happened.
class CiphertextFile {
public:
    explicit CiphertextFile(const std::filesystem::path& directory)
        : path_(directory / (".nimbuscrate-download-" + Uuid::random().lowerString() + ".nbenc")),
          handle_(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)) {
        if (!handle_.isOpen()) throw posixError(errno, "open " + path_.string());
    }
    ~CiphertextFile() {
        closeFileHandle(handle_);
        removeItemIfPresent(path_);
    }
    CiphertextFile(const CiphertextFile&) = delete;
    CiphertextFile& operator=(const CiphertextFile&) = delete;

    const std::filesystem::path& path() const { return path_; }
    void write(const std::uint8_t* data, std::size_t size) { handle_.write(data, size); }
    void close() { handle_.close(); }

private:
    std::filesystem::path path_;
    FileHandle handle_;
};

}  // namespace

struct E2EEClient::ThumbnailTask {
    std::mutex mutex;  // guards the fields below
    std::condition_variable finished;
    bool done = false;
    std::optional<Bytes> bytes;
    std::exception_ptr error;
};

std::filesystem::path E2EEClient::temporaryDirectory() const {
    return services_.temporaryDirectory.empty() ? std::filesystem::temp_directory_path()
                                                : services_.temporaryDirectory;
}

// ---- Locations ----

E2EEClient::BlobLocation E2EEClient::locateBlob(const E2EEJSON& revision) const {
    const E2EEJSON keys = unlockedKeyRecord();
    E2EECrypto::File file = E2EECrypto::openFile(keys, revision.member("manifest"));
    E2EECrypto::verifyCommit(revision, file);

    const E2EEJSON& driveId = revision.member("driveId");
    const E2EEJSON::Array* owned = cachedAccount().member("ownedDriveIds").arrayValue();
    bool ownedDrive = false;
    if (owned) {
        for (const E2EEJSON& id : *owned) ownedDrive = ownedDrive || id == driveId;
    }
    if (!ownedDrive || !(revision.member("parentItemId") == driveId)) throw E2EEError::invalid();

    const Url base = appendingPathComponent(webAppURL(), "dav/spaces");
    std::string text = base.string();
    if (!text.ends_with('/')) text += '/';
    text += pathSegment(driveId) + "/" + pathSegment(revision.member("opaqueName"));
    const std::optional<Url> url = Url::parse(text);
    // Belt and braces: the location stays below the web app's "dav/spaces/".
    if (!url || url->origin() != webAppURL().origin() || !url->path().starts_with(base.path() + "/")) {
        throw E2EEError::invalid();
    }
    return BlobLocation{std::move(file), *url};
}

Url E2EEClient::blobURL(const E2EEJSON& revision) const { return locateBlob(revision).url; }

Url E2EEClient::encryptedThumbnailURL(const E2EEJSON& revision) const {
    const BlobLocation location = locateBlob(revision);
    const std::string* nodeId = location.file.value.member("nodeId").stringValue();
    const std::string* revisionId = location.file.value.member("revisionId").stringValue();
    if (!nodeId || !revisionId) throw E2EEError::invalid();
    return withQueryItems(appendingPathComponent(mediaServiceURL(), "v1/encrypted-thumbnail"),
                          {{"nodeId", *nodeId}, {"revisionId", *revisionId}});
}

// ---- Whole-blob download ----

std::filesystem::path E2EEClient::downloadBlob(const E2EEJSON& revision, const std::string& name,
                                               std::stop_token stop) {
    const std::string sessionID = currentSessionID();
    const BlobLocation location = locateBlob(revision);
    const std::int64_t ciphertextLength = location.file.value.member("ciphertextLength").safeInteger();

    const std::string token = services_.credentials.token(stop);
    if (currentSessionID() != sessionID) throw E2EEError::sessionChanged();
    HttpRequest request("GET", location.url);
    request.timeoutSeconds = kBlobDownloadTimeoutSeconds;
    E2EERedirectGuard().apply(request);
    request.headers.set("Authorization", "Bearer " + token);

    // The body goes to disk, never more of it than the manifest announces.
    CiphertextFile ciphertext(temporaryDirectory());
    std::int64_t received = 0;
    long status = 0;
    try {
        const HttpResponse response = services_.transport.stream(
            request,
            [&status](long headStatus, const HttpHeaders&) {
                status = headStatus;
                if (headStatus != 200) throw StopTransfer();
            },
            [&](const std::uint8_t* data, std::size_t size) {
                if (static_cast<std::int64_t>(size) > ciphertextLength - received) throw E2EEError::invalid();
                ciphertext.write(data, size);
                received += static_cast<std::int64_t>(size);
            },
            stop);
        status = response.status;
    } catch (const StopTransfer&) {
        // A failure status: its body is not wanted; the status is reported
        // after the session check.
    }
    if (currentSessionID() != sessionID) throw E2EEError::sessionChanged();
    if (status != 200) throw DesktopError::server(replyStatus(status), kDownloadFailureMessage);
    ciphertext.close();

    // A new private folder for the plaintext, which the caller owns.
    const std::filesystem::path folder = temporaryDirectory() / Uuid::random().upperString();
    if (::mkdir(folder.c_str(), 0700) != 0) throw posixError(errno, "mkdir " + folder.string());
    try {
        if (::chmod(folder.c_str(), 0700) != 0) throw posixError(errno, "chmod " + folder.string());
        const std::filesystem::path output = folder / E2EECrypto::validatedName(E2EEJSON(name));
        E2EECrypto::transformFile(ciphertext.path(), output, location.file, /*encrypt=*/false, stop);
        if (currentSessionID() != sessionID) throw E2EEError::sessionChanged();
        return output;
    } catch (...) {
        removeItemIfPresent(folder);
        throw;
    }
}

// ---- Ranged reads ----

Bytes E2EEClient::readEncryptedRange(const Url& url, std::int64_t lowerBound, std::int64_t upperBound,
                                     std::int64_t total, const std::string& sessionID, std::stop_token stop) const {
    if (lowerBound < 0 || upperBound <= lowerBound || upperBound > total) throw E2EEError::invalid();
    if (currentSessionID() != sessionID) throw E2EEError::sessionChanged();
    const std::string token = services_.credentials.token(stop);

    HttpRequest request("GET", url);
    request.timeoutSeconds = kRangeReadTimeoutSeconds;
    E2EERedirectGuard().apply(request);
    request.headers.set("Authorization", "Bearer " + token);
    request.headers.set("Range", "bytes=" + std::to_string(lowerBound) + "-" + std::to_string(upperBound - 1));
    if (currentSessionID() != sessionID) throw E2EEError::sessionChanged();

    const std::string expectedRange = "bytes " + std::to_string(lowerBound) + "-" + std::to_string(upperBound - 1) +
                                      "/" + std::to_string(total);
    const auto length = static_cast<std::size_t>(upperBound - lowerBound);
    // Judged once the head is known: before the first body byte, or after
    // a reply without a body.
    const auto checkHead = [&](long status, const HttpHeaders& headers) {
        if (status < 100 || status > 599) throw DesktopError::invalidResponse();
        if (status == 206) {
            std::size_t ranges = 0;
            for (const auto& field : headers.fields()) ranges += HttpHeaders::namesEqual(field.first, "Content-Range");
            if (ranges != 1 || headers.value("Content-Range") != expectedRange) throw E2EEError::invalid();
            return;
        }
        if (status == 200 && lowerBound == 0 && upperBound == total) return;
        throw DesktopError::server(status, kPreviewSourceFailureMessage);
    };

    Bytes buffer;
    bool headChecked = false;
    const HttpResponse response = services_.transport.stream(
        request,
        [&](long status, const HttpHeaders& headers) {
            checkHead(status, headers);
            headChecked = true;
        },
        [&](const std::uint8_t* data, std::size_t size) {
            if (size > length - buffer.size()) throw E2EEError::invalid();
            buffer.insert(buffer.end(), data, data + size);
        },
        stop);
    if (!headChecked) checkHead(response.status, response.headers);
    if (currentSessionID() != sessionID) throw E2EEError::sessionChanged();
    if (buffer.size() != length) throw E2EEError::invalid();
    return buffer;
}

E2EEClient::RangeFetch E2EEClient::encryptedRangeFetch(Url url, const E2EECrypto::File& file,
                                                       std::string sessionID) const {
    return [this, url = std::move(url), manifest = file.value, sessionID = std::move(sessionID)](
               std::int64_t lowerBound, std::int64_t upperBound, std::stop_token stop) {
        const std::int64_t total = manifest.member("ciphertextLength").safeInteger();
        return readEncryptedRange(url, lowerBound, upperBound, total, sessionID, stop);
    };
}

// ---- Stored thumbnails ----

Bytes E2EEClient::requestEncryptedThumbnail(const E2EEJSON& entry, bool fromMediaService, std::stop_token stop) {
    const std::string sessionID = currentSessionID();
    const E2EEJSON keys = unlockedKeyRecord();
    const E2EECrypto::File file = E2EECrypto::openFile(keys, entry.member("manifest"));
    E2EECrypto::verifyCommit(entry, file);
    const std::int64_t ciphertextLength = file.value.member("ciphertextLength").safeInteger();
    if (ciphertextLength < kMinThumbnailCiphertext || ciphertextLength > kMaxThumbnailCiphertext) {
        throw E2EEError::invalid();
    }
    const Url url = fromMediaService ? encryptedThumbnailURL(entry) : blobURL(entry);

    const std::string token = services_.credentials.token(stop);
    HttpRequest request("GET", url);
    request.timeoutSeconds = kThumbnailTimeoutSeconds;
    E2EERedirectGuard().apply(request);
    request.headers.set("Authorization", "Bearer " + token);
    if (currentSessionID() != sessionID) throw E2EEError::sessionChanged();

    const auto checkStatus = [](long status) {
        if (status != 200) throw DesktopError::server(replyStatus(status), kThumbnailFailureMessage);
    };
    Bytes collected;
    const HttpResponse response = services_.transport.stream(
        request, [&](long status, const HttpHeaders&) { checkStatus(status); },
        [&](const std::uint8_t* data, std::size_t size) {
            if (static_cast<std::int64_t>(size) > ciphertextLength - static_cast<std::int64_t>(collected.size())) {
                throw E2EEError::invalid();
            }
            collected.insert(collected.end(), data, data + size);
        },
        stop);
    checkStatus(response.status);
    if (currentSessionID() != sessionID) throw E2EEError::sessionChanged();
    const SecretBytes opened = E2EECrypto::openSmallPayload(collected, file);
    return Bytes(opened.begin(), opened.end());
}

std::optional<Bytes> E2EEClient::lookUpThumbnail(const std::vector<E2EEJSON>& entries, const E2EEJSON& node,
                                                 std::stop_token stop) {
    const auto statusIn = [](const DesktopError& error, std::initializer_list<long> statuses, bool orServerError) {
        if (error.kind() != DesktopError::Kind::server) return false;
        if (orServerError && error.status() >= 500) return true;
        for (const long status : statuses) {
            if (error.status() == status) return true;
        }
        return false;
    };
    for (const E2EEJSON& entry : entries) {
        try {
            return requestEncryptedThumbnail(entry, /*fromMediaService=*/true, stop);
        } catch (const DesktopError& error) {
            if (!statusIn(error, {404, 410}, true)) throw;
        }
        try {
            return requestEncryptedThumbnail(entry, /*fromMediaService=*/false, stop);
        } catch (const DesktopError& error) {
            if (!statusIn(error, {404, 410}, false)) throw;
        }
    }
    return createEncryptedThumbnail(node, stop);
}

std::optional<Bytes> E2EEClient::fetchEncryptedThumbnail(const RemoteItem& item, std::stop_token stop) {
    refreshSnapshot(false, stop);
    const E2EEJSON node = nodeRecord(item);

    std::vector<E2EEJSON> entries;
    if (const E2EEJSON::Array* list = node.member("thumbnailEntries").arrayValue()) {
        entries = *list;
    } else if (!node.member("thumbnailEntry").isNull()) {
        entries.push_back(node.member("thumbnailEntry"));
    }

    const std::string sessionID = currentSessionID();
    const std::string* revisionId = node.member("entry").member("revisionId").stringValue();
    if (!revisionId) throw E2EEError::invalid();
    const std::string key = sessionID + ":" + *revisionId;

    std::shared_ptr<ThumbnailTask> task;
    bool creator = false;
    {
        std::lock_guard lock(mutex_);
        std::shared_ptr<ThumbnailTask>& slot = thumbnailTasks_[key];
        if (!slot) {
            slot = std::make_shared<ThumbnailTask>();
            creator = true;
        }
        task = slot;
    }

    if (creator) {
        // The first caller runs the lookup on its own thread with its own
        // stop token, so cancelling it ends the lookup for every waiter.
        std::optional<Bytes> bytes;
        std::exception_ptr error;
        try {
            bytes = lookUpThumbnail(entries, node, stop);
        } catch (...) {
            error = std::current_exception();
        }
        {
            std::lock_guard lock(task->mutex);
            task->bytes = bytes;
            task->error = error;
            task->done = true;
        }
        task->finished.notify_all();
        std::lock_guard lock(mutex_);
        thumbnailTasks_.erase(key);
    } else {
        // A later caller waits for the shared lookup whatever happens to it.
        std::unique_lock lock(task->mutex);
        task->finished.wait(lock, [&] { return task->done; });
    }

    if (currentSessionID() != sessionID) throw E2EEError::sessionChanged();
    std::lock_guard lock(task->mutex);
    if (task->error) std::rethrow_exception(task->error);
    return task->bytes;
}

// ---- Downloads of encrypted items ----

std::filesystem::path E2EEClient::downloadEncryptedFile(const RemoteItem& item, std::stop_token stop) {
    refreshSnapshot(true, stop);
    const E2EEJSON node = nodeRecord(item);
    const std::string* accountId = cachedAccount().member("accountId").stringValue();
    if (!accountId) throw E2EEError::invalid();
    const RemoteItem current = E2EELibrary::remoteItem(node, *accountId);
    if (item.etag != current.etag) throw E2EEError::conflict();
    return downloadBlob(node.member("entry"), item.name, stop);
}

}  // namespace nimbuscrate
