#pragma once

#include <memory>

#include "platform/fileprovider/Item.h"
#include "shared/session/RemoteItem.h"

namespace nimbuscrate {

// One server item as the system sees it. Every property is computed from
// the RemoteItem it was made from, which never changes.
class FileProviderItem final : public fp::Item {
public:
    // Capabilities of the drive root: read/list, write/add children, evict.
    static constexpr fp::Capabilities kRootCapabilities = 67;
    // Capabilities of every other item: also reparent, rename and delete.
    static constexpr fp::Capabilities kItemCapabilities = 111;

    explicit FileProviderItem(RemoteItem remote) : remote_(std::move(remote)) {}
    static std::shared_ptr<const FileProviderItem> make(RemoteItem remote) {
        return std::make_shared<const FileProviderItem>(std::move(remote));
    }

    const RemoteItem& remote() const { return remote_; }

    fp::ItemId itemIdentifier() const override;
    fp::ItemId parentItemIdentifier() const override;
    std::string filename() const override { return remote_.name; }
    std::optional<fp::ContentType> contentType() const override;
    std::optional<fp::Capabilities> capabilities() const override;
    std::optional<fp::ContentPolicy> contentPolicy() const override;
    fp::Provided<std::int64_t> documentSize() const override;
    fp::Provided<Date> creationDate() const override { return std::optional<Date>(remote_.modifiedAt); }
    fp::Provided<Date> contentModificationDate() const override { return std::optional<Date>(remote_.modifiedAt); }
    std::optional<fp::ItemVersion> itemVersion() const override;

private:
    bool isRoot() const { return remote_.id == RemoteItem::root().id; }

    RemoteItem remote_;
};

// The type of an item: the folder type for a folder; else the type of its
// name's extension, then of its MIME type, when that type is data; else the
// generic data type.
fp::ContentType fileProviderContentType(const RemoteItem& item);

// The version of an item: the etag followed by "|thumbnail-e2ee-v3"
// (contents) and by "|e2ee-v1" (metadata). Both move exactly when the etag does.
fp::ItemVersion fileProviderItemVersion(const RemoteItem& item);

// The system's identifier of a stored item's identifier ("root" is the root container).
fp::ItemId systemIdentifier(const std::string& remoteID);

}  // namespace nimbuscrate
