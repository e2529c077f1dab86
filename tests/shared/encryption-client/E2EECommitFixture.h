#pragma once

// An unlocked encryption client ("acct_1", drive "drive-1" of the local
// service) that commits files through the service's resumable uploads, with
// a preview renderer that gives a small JPEG stand-in for images, a mapping
// database of its own, and the helpers the commit tests read the service
// and the journal with.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "shared/encryption-client/E2EEUploadJournal.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EELibrary.h"
#include "tests/shared/encryption-client/E2EEDownloadFixture.h"
#include "tools/localservice/AccountApi.h"
#include "tools/localservice/UploadApi.h"

namespace nimbuscrate::testing {

inline const std::string kPreviewJPEG = "\xff\xd8\xff\xe0 a rendered preview stand-in \xff\xd9";

class E2EECommitFixture : public E2EEDownloadFixture {
protected:
    using Collection = localservice::AccountApi::Collection;
    using Step = localservice::UploadApi::Step;

    void SetUp() override {
        E2EEDownloadFixture::SetUp();
        if (IsSkipped()) return;
        client.reset();
        mapping = std::make_unique<MappingStore>(stateDirectory / "mapping");
        client = makeCommitClient(stateDirectory);
    }

    // A client over a state folder of its own (another device when it is
    // not the fixture's): the fixture's session and secrets, a preview for
    // every "image/" file, and the session hook.
    std::unique_ptr<E2EEClient> makeCommitClient(const std::filesystem::path& state) {
        E2EEClient::Credentials withHook = credentials();
        auto stored = withHook.session;
        withHook.session = [this, stored]() -> std::optional<DesktopSession> {
            std::function<void()> hook;
            {
                std::lock_guard lock(sessionHookMutex);
                hook = sessionHook;
            }
            if (hook) hook();
            return stored();
        };
        E2EEClient::Services services{HttpTransport::shared(), withHook, *mapping, clock, accountAPIURL(), state, 1};
        services.temporaryDirectory = temporary;
        services.localPreview = [this](const std::filesystem::path&, const std::string& mime,
                                       std::stop_token) -> std::optional<E2EEThumbnail::Preview> {
            ++previewsRendered;
            if (!mime.starts_with("image/")) return std::nullopt;
            return E2EEThumbnail::Preview{bytesOf(kPreviewJPEG), 4, 3};
        };
        return std::make_unique<E2EEClient>(std::move(services));
    }

    // Runs at the start of every read of the session, on the reading thread.
    void setSessionHook(std::function<void()> hook) {
        std::lock_guard lock(sessionHookMutex);
        sessionHook = std::move(hook);
    }

    localservice::UploadApi& uploads() { return service.uploads(); }

    // A plaintext file in the fixture's temporary folder.
    std::filesystem::path source(const std::string& contents, const std::string& name = "source.bin") {
        const std::filesystem::path path = temporary / name;
        writeFile(path, contents);
        return path;
    }

    RemoteItem create(const std::string& name, const std::filesystem::path& contents,
                      std::optional<Date> modified = Date::fromUnixSeconds(1'700'000'000)) {
        return client->createEncryptedItem(name, RemoteItem::root(), false, contents, modified, {});
    }
    RemoteItem modify(const RemoteItem& item, const std::filesystem::path& contents, bool baseVersionMatches = true) {
        return client->modifyEncryptedItem(item, RemoteItem::root(), item.name, contents,
                                           Date::fromUnixSeconds(1'700'000'100), baseVersionMatches, {});
    }

    std::string nodeIdOf(const RemoteItem& item) const { return item.id.substr(item.id.rfind(':') + 1); }

    // The newest file record the service holds for a node.
    E2EEJSON storedFile(const std::string& nodeId) {
        const auto text = service.accountApi().storedRecord(Collection::files, nodeId);
        if (!text) return nullptr;
        return E2EEJSON::parse(*text);
    }
    // The decrypted plaintext of the node's current revision, as the client downloads it.
    std::string downloaded(const RemoteItem& item) {
        const std::filesystem::path file = client->downloadEncryptedFile(item, {});
        const std::string bytes = readFile(file);
        std::filesystem::remove_all(file.parent_path());
        return bytes;
    }

    std::size_t reservations() { return countRequests("POST", "/api/v1/uploads"); }
    std::size_t partPuts() {
        std::size_t count = 0;
        for (const auto& request : service.requests().all()) {
            count += request.method == "PUT" && request.path.starts_with("/upload-parts/");
        }
        return count;
    }
    std::size_t thumbnailStores() { return service.requests().matching("POST", "/v1/encrypted-thumbnail").size(); }

    std::filesystem::path pendingRoot() const { return E2EEUploadJournal::pendingRoot(stateDirectory); }
    // The journal folders under the pending root.
    std::vector<std::filesystem::path> journals() const {
        std::vector<std::filesystem::path> found;
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(pendingRoot(), ignored)) {
            found.push_back(entry.path());
        }
        return found;
    }
    // The one journal's saved state (null without "operation.json").
    E2EEJSON onlyJournalState() {
        const auto folders = journals();
        if (folders.size() != 1) {
            ADD_FAILURE() << folders.size() << " journals";
            return nullptr;
        }
        const auto file = folders[0] / E2EEUploadJournal::kStateFileName;
        if (!std::filesystem::exists(file)) return nullptr;
        return E2EEJSON::parse(readFile(file));
    }
    // The file names in a journal folder, sorted.
    static std::vector<std::string> filesIn(const std::filesystem::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::mutex sessionHookMutex;
    std::function<void()> sessionHook;
    std::atomic<int> previewsRendered{0};
};

}  // namespace nimbuscrate::testing
