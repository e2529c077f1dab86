#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/core/Date.h"
#include "platform/fileprovider/Capabilities.h"
#include "platform/fileprovider/ContentType.h"
#include "platform/fileprovider/Identifiers.h"
#include "platform/fileprovider/ItemVersion.h"

namespace nimbuscrate::fp {

// One item as the extension describes it to the system. Implementations are
// immutable and may be read from any thread. A property an item does not
// provide keeps its default here (not provided).
class Item {
public:
    virtual ~Item() = default;

    virtual ItemId itemIdentifier() const = 0;
    virtual ItemId parentItemIdentifier() const = 0;
    virtual std::string filename() const = 0;

    virtual std::optional<ContentType> contentType() const { return std::nullopt; }
    virtual std::optional<Capabilities> capabilities() const { return std::nullopt; }
    virtual std::optional<ContentPolicy> contentPolicy() const { return std::nullopt; }
    // Provided without a value for a folder.
    virtual Provided<std::int64_t> documentSize() const { return std::nullopt; }
    virtual Provided<Date> creationDate() const { return std::nullopt; }
    virtual Provided<Date> contentModificationDate() const { return std::nullopt; }
    virtual std::optional<ItemVersion> itemVersion() const { return std::nullopt; }

    // True when the item provides a content type conforming to the folder type.
    bool isFolder() const;
};

using ItemPtr = std::shared_ptr<const Item>;

// The properties of an item as plain values.
struct ItemProperties {
    ItemId identifier;
    ItemId parent;
    std::string filename;
    std::optional<ContentType> contentType;
    std::optional<Capabilities> capabilities;
    std::optional<ContentPolicy> contentPolicy;
    Provided<std::int64_t> documentSize;
    Provided<Date> creationDate;
    Provided<Date> contentModificationDate;
    std::optional<ItemVersion> version;

    // Everything the item provides, read once.
    static ItemProperties of(const Item& item);
};

// An item made of fixed values: templates handed to the extension, and the
// items of the in-memory extension and of the host.
class ItemSnapshot final : public Item {
public:
    explicit ItemSnapshot(ItemProperties properties) : properties_(std::move(properties)) {}
    static ItemPtr make(ItemProperties properties) { return std::make_shared<ItemSnapshot>(std::move(properties)); }

    ItemId itemIdentifier() const override { return properties_.identifier; }
    ItemId parentItemIdentifier() const override { return properties_.parent; }
    std::string filename() const override { return properties_.filename; }
    std::optional<ContentType> contentType() const override { return properties_.contentType; }
    std::optional<Capabilities> capabilities() const override { return properties_.capabilities; }
    std::optional<ContentPolicy> contentPolicy() const override { return properties_.contentPolicy; }
    Provided<std::int64_t> documentSize() const override { return properties_.documentSize; }
    Provided<Date> creationDate() const override { return properties_.creationDate; }
    Provided<Date> contentModificationDate() const override { return properties_.contentModificationDate; }
    std::optional<ItemVersion> itemVersion() const override { return properties_.version; }

    const ItemProperties& properties() const { return properties_; }

private:
    ItemProperties properties_;
};

}  // namespace nimbuscrate::fp
