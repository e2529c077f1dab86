#include "platform/fileprovider/Item.h"

namespace nimbuscrate::fp {

bool Item::isFolder() const {
    auto type = contentType();
    return type.has_value() && type->conformsTo(ContentType::folder());
}

ItemProperties ItemProperties::of(const Item& item) {
    ItemProperties properties;
    properties.identifier = item.itemIdentifier();
    properties.parent = item.parentItemIdentifier();
    properties.filename = item.filename();
    properties.contentType = item.contentType();
    properties.capabilities = item.capabilities();
    properties.contentPolicy = item.contentPolicy();
    properties.documentSize = item.documentSize();
    properties.creationDate = item.creationDate();
    properties.contentModificationDate = item.contentModificationDate();
    properties.version = item.itemVersion();
    return properties;
}

}  // namespace nimbuscrate::fp
