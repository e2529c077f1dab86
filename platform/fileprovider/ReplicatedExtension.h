#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/fileprovider/Capabilities.h"
#include "platform/fileprovider/Domain.h"
#include "platform/fileprovider/Enumerator.h"
#include "platform/fileprovider/Error.h"
#include "platform/fileprovider/Item.h"
#include "platform/fileprovider/Manager.h"
#include "platform/fileprovider/Progress.h"

namespace nimbuscrate {
class Clock;
class TaskPool;
}  // namespace nimbuscrate

namespace nimbuscrate::fp {

// What the system gives an extension when it makes one for a domain.
struct ExtensionEnvironment {
    Domain domain;
    // The manager of the domain, or null when there is none. Calls on it
    // never call back into the extension synchronously.
    std::function<ManagerPtr()> manager;
    // Where the extension runs its tasks, and the time it sees.
    TaskPool* tasks = nullptr;
    Clock* clock = nullptr;
    // A private folder for downloads, on the same file system as the
    // system's content cache so that a finished download can be renamed
    // into it (empty: the extension picks one).
    std::filesystem::path temporaryDirectory;
};

struct ThumbnailSize {
    int width = 0;
    int height = 0;
};

// The entries the system calls. Every entry that returns a progress answers
// through its completion exactly once, on success and on every failure.
class ReplicatedExtension {
public:
    using ItemCompletion = std::function<void(ItemPtr, std::optional<Error>)>;
    using ContentsCompletion =
        std::function<void(std::optional<std::filesystem::path>, ItemPtr, std::optional<Error>)>;
    using PerThumbnail = std::function<void(const ItemId&, std::optional<Bytes>, std::optional<Error>)>;
    using Completion = std::function<void(std::optional<Error>)>;
    // The resulting item, the fields still pending, whether the system should
    // fetch the contents again, and the error.
    using WriteCompletion = std::function<void(ItemPtr, ItemFields, bool, std::optional<Error>)>;

    virtual ~ReplicatedExtension() = default;

    virtual void invalidate() = 0;
    virtual ProgressPtr item(const ItemId& identifier, ItemCompletion done) = 0;
    // The enumerator of a container, or null with `error` set.
    virtual EnumeratorPtr enumerator(const ItemId& container, std::optional<Error>& error) = 0;
    virtual ProgressPtr fetchContents(const ItemId& identifier, std::optional<ItemVersion> requestedVersion,
                                      ContentsCompletion done) = 0;
    virtual ProgressPtr fetchThumbnails(std::vector<ItemId> identifiers, ThumbnailSize size, PerThumbnail perItem,
                                        Completion done) = 0;
    virtual ProgressPtr create(ItemPtr itemTemplate, ItemFields fields,
                               std::optional<std::filesystem::path> contents, WriteCompletion done) = 0;
    virtual ProgressPtr modify(ItemPtr item, ItemVersion baseVersion, ItemFields changedFields,
                               std::optional<std::filesystem::path> contents, WriteCompletion done) = 0;
    virtual ProgressPtr remove(const ItemId& identifier, ItemVersion baseVersion, Completion done) = 0;
};

using ExtensionPtr = std::shared_ptr<ReplicatedExtension>;
using ExtensionFactory = std::function<ExtensionPtr(ExtensionEnvironment)>;

}  // namespace nimbuscrate::fp
