// Thumbnails made on the device for encrypted images and videos that have
// none stored: rendered from ranged reads of the encrypted blob, sealed as a
// small revision, uploaded and stored as the source revision's thumbnail,
// each step kept in the operation's journal.
#include <limits>
#include <mutex>
#include <string>

#include "platform/core/AtomicFile.h"
#include "shared/encryption-client/E2EEClient.h"
#include "shared/encryption-client/E2EEPreviewReader.h"
#include "shared/encryption-client/E2EEThumbnail.h"
#include "shared/encryption-client/E2EEUploadJournal.h"
#include "shared/encryption-client/FileUtilities.h"
#include "shared/encryption/E2EEError.h"

namespace nimbuscrate {

namespace {

constexpr const char* kThumbnailName = "thumbnail.jpg";

bool isTrue(const E2EEJSON& value) { return value == E2EEJSON(true); }

}  // namespace

std::optional<Bytes> E2EEClient::createEncryptedThumbnail(const E2EEJSON& node, std::stop_token stop) {
    const std::string sessionID = currentSessionID();
    const std::string* mimeText = node.member("mime").stringValue();
    const std::string mime = mimeText ? *mimeText : std::string();
    if (!mime.starts_with("image/") && !mime.starts_with("video/")) return std::nullopt;
    const E2EEJSON account = loadAccount(stop);
    if (!(account.member("mode") == E2EEJSON("required"))) return std::nullopt;
    const E2EEJSON keys = unlockedKeyRecord();
    const DriveSelection drive = verifiedDrive();

    const E2EEJSON& entry = node.member("entry");
    const BlobLocation source = locateBlob(entry);
    const E2EEJSON& accountId = account.member("accountId");
    const E2EEJSON operation = E2EEJSON::object({
        {"kind", "thumbnail"},
        {"session", sessionID},
        {"account", accountId.stringValue() ? accountId : E2EEJSON(nullptr)},
        {"drive", drive.id},
        {"node", node.member("nodeId")},
        {"revision", entry.member("revisionId")},
    });
    E2EEUploadJournal journal(E2EEUploadJournal::pendingRoot(stateFileURL().parent_path()), operation);
    const std::filesystem::path previewFile = journal.directory / E2EEUploadJournal::kPreviewFileName;

    std::optional<Bytes> bytes;
    if (journal.state.member("preview").isNull()) {
        E2EEPreviewReader reader(source.file, E2EEPreviewReader::kThumbnailBudget,
                                 encryptedRangeFetch(source.url, source.file, sessionID));
        const std::int64_t size = source.file.metadata.member("size").safeInteger();
        const std::optional<E2EEThumbnail::Preview> preview = E2EEThumbnail::makePreview(reader, size, mime, stop);
        if (currentSessionID() != sessionID) throw E2EEError::sessionChanged();
        if (!preview) {
            // Content without a preview: nothing to keep.
            removeItemIfPresent(journal.directory);
            return std::nullopt;
        }
        const std::int64_t modified = node.member("modified").safeInteger();
        const E2EEJSON descriptor = E2EEJSON::object({
            {"version", 1},
            {"sourceNodeId", node.member("nodeId")},
            {"sourceRevisionId", entry.member("revisionId")},
            {"width", preview->width},
            {"height", preview->height},
        });
        const E2EECrypto::Prepared prepared =
            E2EECrypto::prepareFile(keys, kThumbnailName, static_cast<std::int64_t>(preview->bytes.size()),
                                    "image/jpeg", modified, E2EEJSON("root"), std::nullopt, descriptor);
        writeFileAtomically(previewFile, E2EECrypto::sealSmallPayload(preview->bytes, prepared.file));
        journal.state.setMember(E2EEJSON::object({{"manifest", prepared.manifest}}), "preview");
        journal.save();
        bytes = preview->bytes;
    }

    // The source must still be at the revision the preview shows.
    refreshSnapshot(true, stop);
    bool current = false;
    for (const E2EEJSON& item : *lookupView().items) {
        if (!(item.member("nodeId") == node.member("nodeId"))) continue;
        current = !isTrue(item.member("effectiveDeleted")) &&
                  item.member("entry").member("revisionId") == entry.member("revisionId");
        break;
    }
    if (!current) throw E2EEError::conflict();

    if (journal.state.member("preview").member("entry").isNull()) {
        const E2EECrypto::Prepared prepared = journal.prepared("preview", keys);
        uploadEncryptedFile(prepared, previewFile, drive, journal, "preview", stop);
    }
    const E2EEJSON previewEntry = journal.state.member("preview").member("entry");
    if (previewEntry.isNull()) throw E2EEError::invalid();
    if (!isTrue(journal.state.member("r2Stored"))) {
        storeEncryptedThumbnail(previewEntry, stop);
        journal.state.setMember(E2EEJSON(true), "r2Stored");
        journal.save();
    }
    if (!bytes) bytes = requestEncryptedThumbnail(previewEntry, /*fromMediaService=*/true, stop);
    if (currentSessionID() != sessionID) throw E2EEError::sessionChanged();

    journal.state.setMember(E2EEJSON(true), "done");
    journal.save();
    removeItemIfPresent(journal.directory);
    // The next snapshot read reloads the library, which now lists the thumbnail.
    std::lock_guard lock(mutex_);
    loadedAt_ = -std::numeric_limits<double>::infinity();
    ++invalidations_;
    return bytes;
}

}  // namespace nimbuscrate
