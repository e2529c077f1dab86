#pragma once

// An encryption client with an unlocked account ("acct_1", drive "drive-1")
// against the local service, and encrypted files made with the project's own
// formats: the file record in the service's listing, its blob in the drive's
// folder, and sealed thumbnails on the media service or as blobs.

#include <atomic>
#include <string>

#include "platform/core/Random.h"
#include "shared/encryption/E2EECrypto.h"
#include "tests/shared/encryption-client/E2EEClientFixture.h"
#include "tests/support/E2EERecordBuilder.h"

namespace nimbuscrate::testing {

const std::string kWebAppHost = NIMBUSCRATE_WEBAPP_HOST;
const std::string kMediaHost = NIMBUSCRATE_MEDIA_HOST;

// n bytes of a repeating pattern that differs from segment to segment.
inline std::string patternBytes(std::size_t size, unsigned seed = 1) {
    std::string bytes(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

class E2EEDownloadFixture : public E2EEClientFixture {
protected:
    void SetUp() override {
        LocalServiceFixture::SetUp();
        if (IsSkipped()) return;
        service.addDrive({"drive-1", "Nimbuscrate", "project", ""});
        session = signIn(3600, DriveSelection{"drive-1", "Nimbuscrate", *Url::parse(service.webDavUrl("drive-1"))});
        secretItem(E2EEClient::kKeysService, *session.sessionID)->save(builder.keysBytes());
        E2EERecordBuilder::AccountSpec spec;
        spec.ownedDriveIds = {"drive-1"};
        setAccount(builder.accountRecord(spec).canonicalString());
        temporary = makeTemporaryDirectory("nc-e2ee-downloads");
        client = makeDownloadClient();
    }
    void TearDown() override {
        std::error_code ignored;
        if (!temporary.empty()) std::filesystem::remove_all(temporary, ignored);
    }

    // The client with its own temporary folder and a session function that
    // reports another session from its `switchAt`-th call on (0: never).
    std::unique_ptr<E2EEClient> makeDownloadClient() {
        Credentials credentialsWithSwitch = credentials();
        auto stored = credentialsWithSwitch.session;
        credentialsWithSwitch.session = [this, stored]() -> std::optional<DesktopSession> {
            std::optional<DesktopSession> current = stored();
            const int call = ++sessionCalls;
            if (current && switchAt > 0 && call >= switchAt) current->sessionID = "ANOTHER-SESSION";
            return current;
        };
        E2EEClient::Services services{HttpTransport::shared(), credentialsWithSwitch, *mapping, clock,
                                      accountAPIURL(), stateDirectory, 1};
        services.temporaryDirectory = temporary;
        return std::make_unique<E2EEClient>(std::move(services));
    }
    using Credentials = E2EEClient::Credentials;

    // Seeds a file of the given contents at the drive root: its record in the
    // "files" listing and its blob in the drive's folder. Returns the record.
    E2EEJSON seedEncryptedFile(const std::string& nodeId, const std::string& contents,
                               const std::string& name = "document.bin", const std::string& mime = "text/plain") {
        E2EERecordBuilder::FileSpec spec;
        spec.nodeId = nodeId;
        spec.name = name;
        spec.revisionId = "rev-" + nodeId;
        spec.size = static_cast<std::int64_t>(contents.size());
        spec.mime = mime;
        spec.embeddedGeneration.reset();
        const E2EEJSON record = builder.fileRecord(spec);
        seedFile(record.canonicalString());
        writeBlob(record, contents);
        return record;
    }

    // A stored thumbnail of a seeded file: a small file revision that names
    // its source, sealed; on the media service and/or as a blob.
    E2EEJSON seedThumbnail(const E2EEJSON& source, const std::string& thumbnailNode, const std::string& jpeg,
                           bool onMediaService = true, bool asBlob = true) {
        E2EERecordBuilder::FileSpec spec;
        spec.nodeId = thumbnailNode;
        spec.name = "thumbnail.jpg";
        spec.revisionId = "rev-" + thumbnailNode;
        spec.size = static_cast<std::int64_t>(jpeg.size());
        spec.mime = "image/jpeg";
        spec.embeddedGeneration.reset();
        spec.thumbnail = E2EEJSON::object({{"version", 1},
                                           {"sourceNodeId", source.member("manifest").member("value").member("nodeId")},
                                           {"sourceRevisionId", source.member("revisionId")},
                                           {"width", 2},
                                           {"height", 2}});
        const E2EEJSON record = builder.fileRecord(spec);
        seedFile(record.canonicalString());
        const Bytes sealed = E2EECrypto::sealSmallPayload(bytesOf(jpeg), open(record));
        const std::string sealedText(sealed.begin(), sealed.end());
        if (onMediaService) seedEncryptedThumbnail(thumbnailNode, "rev-" + thumbnailNode, sealedText);
        if (asBlob) seedBlob("drive-1", opaqueName(record), sealedText);
        return record;
    }

    E2EECrypto::File open(const E2EEJSON& record) const {
        return E2EECrypto::openFile(builder.keys(), record.member("manifest"));
    }
    static std::string opaqueName(const E2EEJSON& record) { return *record.member("opaqueName").stringValue(); }
    static std::string blobPath(const E2EEJSON& record) { return "/dav/spaces/drive-1/" + opaqueName(record); }

    // Encrypts the contents in the segmented format and seeds the blob.
    void writeBlob(const E2EEJSON& record, const std::string& contents) {
        const std::filesystem::path plain = temporary / ("plain-" + Uuid::random().lowerString());
        const std::filesystem::path sealed = temporary / ("sealed-" + Uuid::random().lowerString());
        writeFile(plain, contents);
        E2EECrypto::transformFile(plain, sealed, open(record), true);
        seedBlob("drive-1", opaqueName(record), readFile(sealed));
        std::filesystem::remove(plain);
        std::filesystem::remove(sealed);
    }

    // The encrypted items at the drive root as the file provider side sees them.
    RemoteItem itemNamed(const std::string& name) {
        RemoteItem root;
        root.id = "root";
        for (const RemoteItem& item : client->listEncryptedChildren(root, {})) {
            if (item.name == name) return item;
        }
        ADD_FAILURE() << "no encrypted item " << name;
        return {};
    }

    // What the client left in its temporary folder.
    std::vector<std::filesystem::path> leftovers() const {
        std::vector<std::filesystem::path> found;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(temporary)) found.push_back(entry.path());
        return found;
    }

    std::vector<localservice::RecordedRequest> requestsTo(const std::string& host) {
        std::vector<localservice::RecordedRequest> result;
        for (auto& request : service.requests().all()) {
            if (request.host == host) result.push_back(std::move(request));
        }
        return result;
    }

    E2EERecordBuilder builder;
    DesktopSession session;
    std::filesystem::path temporary;
    std::atomic<int> sessionCalls{0};
    std::atomic<int> switchAt{0};
    std::unique_ptr<E2EEClient> client;
};

}  // namespace nimbuscrate::testing
