// The commit of new encrypted file contents: one local plaintext file becomes
// a committed revision of its node, through the operation's journal so that
// an interrupted commit goes on where it stopped the next time the same
// operation is committed.
//
// The journal's steps, in order (each saved before the next begins):
//
//   "sourceHash" + "main" {"manifest"} [+ "preview" {"manifest"}]   prepared, staged
//   "main"."entry"                                                  main revision committed
//   "preview"."entry"                                               preview uploaded
//   "r2Stored": true                                                thumbnail registered
//   "done": true                                                    node confirmed
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/sha.h>

#include "platform/core/AtomicFile.h"
#include "platform/core/CancellationError.h"
#include "platform/core/PlatformError.h"
#include "platform/fileprovider/ContentType.h"
#include "shared/encryption-client/E2EEClient.h"
#include "shared/encryption-client/E2EEUploadJournal.h"
#include "shared/encryption-client/FileUtilities.h"
#include "shared/encryption/CryptoError.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/E2EELibrary.h"
#include "shared/encryption/FileHandle.h"
#include "shared/encryption/OpenSSLHandles.h"

namespace nimbuscrate {

namespace {

constexpr std::size_t kDigestPieceBytes = 1'048'576;
constexpr const char* kOctetStream = "application/octet-stream";
constexpr const char* kPreviewName = "thumbnail.jpg";

bool isTrue(const E2EEJSON& value) { return value.isBool() && value.boolValue(); }

// The MIME type of a name's extension among the known data types;
// application/octet-stream when there is none.
std::string mimeTypeFor(const std::string& name) {
    const std::string extension = fp::pathExtension(name);
    if (extension.empty()) return kOctetStream;
    const std::optional<fp::ContentType> type = fp::ContentType::fromFilenameExtension(extension);
    // Concrete types are named by their MIME type; abstract ones ("fp.…") have none.
    if (!type || !type->conformsTo(fp::ContentType::data()) || type->identifier().starts_with("fp.")) {
        return kOctetStream;
    }
    return type->identifier();
}

// Whole milliseconds since 1970 of a time in seconds since 1970; times
// before 1970 count as 0.
std::int64_t milliseconds(double unixSeconds) {
    const double value = unixSeconds * 1000.0;
    if (!(value > 0)) return 0;
    if (value >= 9.0e18) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(value);
}

struct FileFacts {
    std::int64_t size = 0;
    double modifiedUnixSeconds = 0;
};

FileFacts factsOf(const std::filesystem::path& file) {
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0) throw posixError(errno, "stat " + file.string());
    return FileFacts{static_cast<std::int64_t>(status.st_size),
                     static_cast<double>(status.st_mtim.tv_sec) + static_cast<double>(status.st_mtim.tv_nsec) / 1e9};
}

}  // namespace

std::string E2EEClient::contentDigest(const std::filesystem::path& file, std::stop_token stop) {
    FileHandle handle = openFileForReading(file);
    const openssl::Handle<EVP_MD_CTX> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), openssl::sha256(), nullptr) != 1) {
        throw CryptoError(CryptoError::Kind::libraryFailure, "SHA-256 failed.");
    }
    std::vector<std::uint8_t> piece(kDigestPieceBytes);
    while (true) {
        const std::size_t count = handle.read(piece.data(), piece.size());
        if (count == 0) break;
        throwIfCancelled(stop);
        if (EVP_DigestUpdate(context.get(), piece.data(), count) != 1) {
            throw CryptoError(CryptoError::Kind::libraryFailure, "SHA-256 failed.");
        }
    }
    std::array<std::uint8_t, SHA256_DIGEST_LENGTH> digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != digest.size()) {
        throw CryptoError(CryptoError::Kind::libraryFailure, "SHA-256 failed.");
    }
    closeFileHandle(handle);
    return E2EECrypto::base64URLEncode(digest);
}

// One call of commitEncryptedFile: what it was asked, what admission found,
// and the steps over the operation's journal.
class E2EEClient::FileCommit {
public:
    struct Request {
        const std::filesystem::path& contents;
        const std::string& name;
        const E2EEJSON& parentId;
        const std::optional<E2EEJSON>& node;
        std::optional<Date> modified;
        const std::optional<std::string>& baseVersion;
        bool allowNewRevision;
        std::stop_token stop;
    };

    FileCommit(E2EEClient& client, const Request& request) : client_(client), request_(request) {}
    ~FileCommit() {
        if (key_.empty()) return;
        std::lock_guard lock(client_.mutex_);
        client_.activeUploads_.erase(key_);
    }
    FileCommit(const FileCommit&) = delete;
    FileCommit& operator=(const FileCommit&) = delete;

    RemoteItem run();

private:
    void checkSession() const {
        if (client_.currentSessionID() != sessionID_) throw E2EEError::sessionChanged();
    }
    E2EEJSON& state() { return journal_->state; }
    std::filesystem::path staged(const char* fileName) const { return journal_->directory / fileName; }

    // Whether a recorded step may already have made its revision current on
    // the service: its completion was asked for, or it was committed.
    static bool mayBeCurrent(const E2EEJSON& step) {
        return isTrue(step.member("completing")) || !step.member("entry").isNull();
    }
    // A step not yet asked to complete whose staged file is gone can never
    // be uploaded from this journal.
    bool lostStagedFile(const E2EEJSON& step, const char* fileName) const {
        std::error_code ignored;
        return !mayBeCurrent(step) && !std::filesystem::exists(staged(fileName), ignored);
    }

    // Prepares, encrypts and stages a new revision (and its preview) and
    // saves the journal: its first save of this revision, before anything
    // of it is sent.
    void prepareRevision();
    // Uploads, registers and confirms what the journal still lacks.
    RemoteItem finish();
    RemoteItem confirm(const E2EECrypto::Prepared& main);

    E2EEClient& client_;
    const Request& request_;
    std::string sessionID_;
    E2EEJSON keys_;
    DriveSelection drive_;
    std::string key_;  // in activeUploads_ while not empty
    std::optional<E2EEUploadJournal> journal_;
    std::string sourceHash_;
};

RemoteItem E2EEClient::FileCommit::run() {
    // Admission.
    sessionID_ = client_.currentSessionID();
    keys_ = client_.ensureWritable(request_.stop);
    drive_ = client_.verifiedDrive();
    const E2EEJSON identity = E2EEJSON::object({
        {"session", E2EEJSON(sessionID_)},
        {"account", client_.cachedAccount().member("accountId")},
        {"drive", E2EEJSON(drive_.id)},
        {"parent", request_.parentId},
        {"name", E2EEJSON(request_.name)},
        {"node", request_.node ? request_.node->member("nodeId") : E2EEJSON(nullptr)},
    });
    const std::string key = E2EEUploadJournal::operationKey(identity);
    {
        std::lock_guard lock(client_.mutex_);
        // A second commit of the same operation while one runs.
        if (!client_.activeUploads_.insert(key).second) throw E2EEError::conflict();
    }
    key_ = key;
    journal_.emplace(E2EEUploadJournal::pendingRoot(client_.stateFileURL().parent_path()), identity);
    sourceHash_ = contentDigest(request_.contents, request_.stop);

    // Reconciling with the journal.
    checkSession();
    const E2EEJSON& recorded = state().member("sourceHash");
    if (!recorded.isNull() && !(recorded == E2EEJSON(sourceHash_))) {
        // The file changed since this operation's revision was prepared. A
        // finished operation starts anew; so does one whose revision cannot
        // be current yet (its completion was never asked for), else it would
        // stay stuck on the old contents for ever. Where the old revision may
        // already be current, the new contents conflict with it.
        const bool finished = isTrue(state().member("done"));
        if (!request_.allowNewRevision || (!finished && mayBeCurrent(state().member("main")))) {
            throw E2EEError::conflict();
        }
        journal_->reset();
    }
    return finish();
}

RemoteItem E2EEClient::FileCommit::finish() {
    // A finished operation whose confirmation fails (its node was deleted or
    // moved, or the contents went back to this revision after another one)
    // starts a new revision once, where one is allowed.
    bool finishedBefore = isTrue(state().member("done"));
    while (true) {
        if (state().member("main").isNull()) prepareRevision();
        const E2EECrypto::Prepared main = journal_->prepared("main", keys_);

        if (state().member("main").member("entry").isNull()) {
            if (lostStagedFile(state().member("main"), E2EEUploadJournal::kMainFileName)) {
                if (!request_.allowNewRevision) throw E2EEError::conflict();
                journal_->reset();
                continue;
            }
            client_.uploadEncryptedFile(main, staged(E2EEUploadJournal::kMainFileName), drive_, *journal_, "main",
                                        request_.stop);
        }

        if (!state().member("preview").isNull()) {
            if (state().member("preview").member("entry").isNull() &&
                lostStagedFile(state().member("preview"), E2EEUploadJournal::kPreviewFileName)) {
                // The thumbnail is a courtesy: the revision goes on without it.
                state().removeMember("preview");
                journal_->save();
            }
        }
        if (!state().member("preview").isNull()) {
            const E2EECrypto::Prepared preview = journal_->prepared("preview", keys_);
            if (state().member("preview").member("entry").isNull()) {
                const E2EEJSON before = state();
                try {
                    client_.uploadEncryptedFile(preview, staged(E2EEUploadJournal::kPreviewFileName), drive_,
                                                *journal_, "preview", request_.stop);
                } catch (...) {
                    // The upload resets the journal when its revision can
                    // never be stored. For the preview that must not undo
                    // the committed main revision (a new one would clash
                    // with it): the operation goes on without a preview.
                    if (!state().member("main").isNull()) throw;
                    state() = before;
                    state().removeMember("preview");
                    journal_->save();
                    continue;
                }
            }
            if (!isTrue(state().member("r2Stored"))) {
                client_.storeEncryptedThumbnail(state().member("preview").member("entry"), request_.stop);
                state().setMember(true, "r2Stored");
                journal_->save();
            }
        }

        RemoteItem item;
        try {
            item = confirm(main);
        } catch (const E2EEError& error) {
            const bool unconfirmable = error.kind() == E2EEError::Case::conflict ||
                                       error.kind() == E2EEError::Case::history;
            if (!finishedBefore || !unconfirmable || !request_.allowNewRevision) throw;
            finishedBefore = false;
            journal_->reset();
            continue;
        }

        state().setMember(true, "done");
        journal_->save();
        removeItemIfPresent(staged(E2EEUploadJournal::kMainFileName));
        removeItemIfPresent(staged(E2EEUploadJournal::kPreviewFileName));
        return item;
    }
}

void E2EEClient::FileCommit::prepareRevision() {
    if (!request_.allowNewRevision) throw E2EEError::conflict();
    const E2EEJSON nodeId = request_.node ? request_.node->member("nodeId") : E2EEJSON(nullptr);
    client_.ensureNameAvailable(request_.name, request_.parentId, nodeId);
    if (request_.node && request_.baseVersion) {
        const std::string* accountId = client_.cachedAccount().member("accountId").stringValue();
        if (!accountId) throw E2EEError::invalid();
        // The node moved on since the version the caller changed.
        if (E2EELibrary::remoteItem(*request_.node, *accountId).etag != *request_.baseVersion) {
            throw E2EEError::conflict();
        }
    }

    const FileFacts facts = factsOf(request_.contents);
    const std::string mime = mimeTypeFor(request_.name);
    const std::int64_t modified =
        milliseconds(request_.modified ? request_.modified->unixSeconds() : facts.modifiedUnixSeconds);
    const E2EECrypto::Prepared main = E2EECrypto::prepareFile(keys_, request_.name, facts.size, mime, modified,
                                                              request_.parentId, request_.node, nullptr);

    const std::filesystem::path mainFile = staged(E2EEUploadJournal::kMainFileName);
    E2EECrypto::transformFile(request_.contents, mainFile, main.file, /*encrypt=*/true, request_.stop);
    checkSession();
    if (contentDigest(request_.contents, request_.stop) != sourceHash_) {
        // Changed while it was encrypted: what was staged is of no version.
        removeItemIfPresent(mainFile);
        throw E2EEError::conflict();
    }
    state().setMember(E2EEJSON(sourceHash_), "sourceHash");
    state().setMember(E2EEJSON::object({{"manifest", main.manifest}}), "main");

    std::optional<E2EEThumbnail::Preview> preview;
    if (client_.services_.localPreview) {
        try {
            preview = client_.services_.localPreview(request_.contents, mime, request_.stop);
        } catch (...) {
            // A preview that cannot be rendered is no preview.
        }
    }
    if (preview) {
        const E2EEJSON descriptor = E2EEJSON::object({
            {"version", 1},
            {"sourceNodeId", main.file.value.member("nodeId")},
            {"sourceRevisionId", main.file.value.member("revisionId")},
            {"width", preview->width},
            {"height", preview->height},
        });
        const E2EECrypto::Prepared prepared =
            E2EECrypto::prepareFile(keys_, kPreviewName, static_cast<std::int64_t>(preview->bytes.size()),
                                    "image/jpeg", modified, E2EEJSON("root"), std::nullopt, descriptor);
        writeFileAtomically(staged(E2EEUploadJournal::kPreviewFileName),
                            E2EECrypto::sealSmallPayload(preview->bytes, prepared.file));
        state().setMember(E2EEJSON::object({{"manifest", prepared.manifest}}), "preview");
    }

    checkSession();
    journal_->save();
}

RemoteItem E2EEClient::FileCommit::confirm(const E2EECrypto::Prepared& main) {
    checkSession();
    // Committed only when the service's listing shows the node with this
    // revision under the requested parent and name.
    const RemoteItem item = client_.recordNodeChange(main.file.value.member("nodeId"), request_.stop);
    const E2EEJSON node = client_.nodeRecord(item);
    if (!(node.member("entry").member("revisionId") == main.file.value.member("revisionId")) ||
        !(node.member("parentId") == request_.parentId) || !(node.member("name") == E2EEJSON(request_.name))) {
        throw E2EEError::conflict();
    }
    return item;
}

RemoteItem E2EEClient::commitEncryptedFile(const std::filesystem::path& contents, const std::string& name,
                                           const E2EEJSON& parentId, const std::optional<E2EEJSON>& existingNode,
                                           std::optional<Date> modified, const std::optional<std::string>& baseVersion,
                                           bool allowNewRevision, std::stop_token stop) {
    const FileCommit::Request request{contents, name, parentId, existingNode, modified, baseVersion,
                                      allowNewRevision, stop};
    FileCommit commit(*this, request);
    return commit.run();
}

}  // namespace nimbuscrate
