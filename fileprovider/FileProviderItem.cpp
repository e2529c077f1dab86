#include "fileprovider/FileProviderItem.h"

namespace nimbuscrate {
namespace {

// The UTF-8 bytes of `text` followed by those of `suffix`.
fp::Bytes utf8(const std::string& text, std::string_view suffix) {
    fp::Bytes bytes;
    bytes.reserve(text.size() + suffix.size());
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.insert(bytes.end(), suffix.begin(), suffix.end());
    return bytes;
}

}  // namespace

fp::ItemId systemIdentifier(const std::string& remoteID) {
    return remoteID == RemoteItem::root().id ? fp::kRootContainer : remoteID;
}

fp::ItemId FileProviderItem::itemIdentifier() const {
    return isRoot() ? fp::kRootContainer : remote_.id;
}

fp::ItemId FileProviderItem::parentItemIdentifier() const { return systemIdentifier(remote_.parentID); }

std::optional<fp::ContentType> FileProviderItem::contentType() const { return fileProviderContentType(remote_); }

std::optional<fp::Capabilities> FileProviderItem::capabilities() const {
    return isRoot() ? kRootCapabilities : kItemCapabilities;
}

std::optional<fp::ContentPolicy> FileProviderItem::contentPolicy() const {
    return isRoot() ? fp::ContentPolicy::downloadLazily : fp::ContentPolicy::inherited;
}

fp::Provided<std::int64_t> FileProviderItem::documentSize() const {
    // A folder provides the property without a value: it has no size, not 0.
    if (remote_.isDirectory) return std::optional<std::int64_t>();
    return std::optional<std::int64_t>(remote_.size);
}

std::optional<fp::ItemVersion> FileProviderItem::itemVersion() const { return fileProviderItemVersion(remote_); }

fp::ContentType fileProviderContentType(const RemoteItem& item) {
    const fp::ContentType data = fp::ContentType::data();
    if (item.isDirectory) return fp::ContentType::folder();
    const std::string extension = fp::pathExtension(item.name);
    if (!extension.empty()) {
        auto byExtension = fp::ContentType::fromFilenameExtension(extension);
        if (byExtension && byExtension->conformsTo(data)) return *byExtension;
    }
    if (item.contentType) {
        auto byMime = fp::ContentType::fromMimeType(*item.contentType);
        if (byMime && byMime->conformsTo(data)) return *byMime;
    }
    return data;
}

fp::ItemVersion fileProviderItemVersion(const RemoteItem& item) {
    return fp::ItemVersion{utf8(item.etag, "|thumbnail-e2ee-v3"), utf8(item.etag, "|e2ee-v1")};
}

}  // namespace nimbuscrate
