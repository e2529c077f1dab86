#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "fileprovider/AutomaticLocalCleanup.h"
#include "fileprovider/FileServer.h"
#include "platform/fileprovider/ReplicatedExtension.h"
#include "shared/session/EncryptedDriveService.h"
#include "shared/session/MappingStore.h"
#include "shared/session/RemoteItem.h"
#include "shared/session/UploadActivityStore.h"

namespace nimbuscrate {

// The extension the system makes for the "nimbuscrate" domain. Item and
// enumerator lookups answer at once from the mapping database; contents,
// thumbnails, create, modify and delete return a progress at once and
// complete exactly once from a task of the environment's pool. Signals to
// the parent folders and the automatic local cleanup follow only a
// successful completion.
class FileProviderExtension final : public fp::ReplicatedExtension,
                                    public std::enable_shared_from_this<FileProviderExtension> {
public:
    // What the extension works with. An empty field other than the server
    // means the process-wide one (the encryption service is looked up at each
    // use, so an encryption client installed later takes effect).
    struct Services {
        std::shared_ptr<FileServer> server;
        std::shared_ptr<EncryptedDriveService> encryption;
        MappingStore* mapping = nullptr;
        std::shared_ptr<UploadActivityStore> uploads;
    };

    // Resets the upload counter and, when the mapping database was migrated,
    // signals the root and every recorded folder so they are listed again.
    FileProviderExtension(fp::ExtensionEnvironment environment, Services services);
    ~FileProviderExtension() override;

    static std::shared_ptr<FileProviderExtension> make(fp::ExtensionEnvironment environment, Services services);

    const fp::Domain& domain() const { return environment_.domain; }

    // Stops the running local cleanups (the upload counter is the process's: see its start).
    void invalidate() override;
    fp::ProgressPtr item(const fp::ItemId& identifier, ItemCompletion done) override;
    fp::EnumeratorPtr enumerator(const fp::ItemId& container, std::optional<fp::Error>& error) override;
    fp::ProgressPtr fetchContents(const fp::ItemId& identifier, std::optional<fp::ItemVersion> requestedVersion,
                                  ContentsCompletion done) override;
    fp::ProgressPtr fetchThumbnails(std::vector<fp::ItemId> identifiers, fp::ThumbnailSize size,
                                    PerThumbnail perItem, Completion done) override;
    fp::ProgressPtr create(fp::ItemPtr itemTemplate, fp::ItemFields fields,
                           std::optional<std::filesystem::path> contents, WriteCompletion done) override;
    fp::ProgressPtr modify(fp::ItemPtr item, fp::ItemVersion baseVersion, fp::ItemFields changedFields,
                           std::optional<std::filesystem::path> contents, WriteCompletion done) override;
    fp::ProgressPtr remove(const fp::ItemId& identifier, fp::ItemVersion baseVersion, Completion done) override;

    // The modification time to send with new contents: the template's
    // content-modification date when it provides one (even an empty one),
    // else the contents file's, else the template's creation date.
    static std::optional<Date> templateAttributes(const fp::Item& itemTemplate,
                                                  const std::optional<std::filesystem::path>& contents);

    // The cleanups still running (for tests).
    std::size_t runningCleanups() const { return cleanup_.running(); }

private:
    // The folder a container identifier names (root and working set: the
    // root); DesktopError::missingItem when none is stored.
    RemoteItem resolveParent(const fp::ItemId& identifier);
    void signalParent(const std::string& parentID);
    void scheduleAutomaticLocalCleanup(const RemoteItem& item);
    std::shared_ptr<EncryptedDriveService> encryption() const;
    bool isEncryptionRequired(std::stop_token stop);

    RemoteItem createItem(const fp::Item& itemTemplate, const std::optional<std::filesystem::path>& contents,
                          RemoteItem& parent, std::stop_token stop);
    RemoteItem modifyItem(const fp::Item& item, const fp::ItemVersion& baseVersion,
                          const std::optional<std::filesystem::path>& contents, std::string& oldParentID,
                          RemoteItem& newParent, std::stop_token stop);
    void thumbnailFor(const fp::ItemId& identifier, const PerThumbnail& perItem, fp::Progress& progress,
                      std::stop_token stop);

    // Runs a body in a task of the pool; false when the pool no longer takes tasks.
    bool submit(std::function<void(std::stop_token)> body);

    fp::ExtensionEnvironment environment_;
    Services services_;
    AutomaticLocalCleanup cleanup_;
};

}  // namespace nimbuscrate
