#pragma once

#include "platform/fileprovider/Item.h"

namespace nimbuscrate {

// The Trash container. It is always empty: deleted items go straight away on
// the server, so it can be listed and nothing else.
class SpecialContainerItem final : public fp::Item {
public:
    fp::ItemId itemIdentifier() const override { return fp::kTrashContainer; }
    fp::ItemId parentItemIdentifier() const override { return fp::kRootContainer; }
    std::string filename() const override { return "Trash"; }
    std::optional<fp::ContentType> contentType() const override { return fp::ContentType::folder(); }
    std::optional<fp::Capabilities> capabilities() const override { return fp::Capability::allowsContentEnumerating; }
    std::optional<fp::ItemVersion> itemVersion() const override {
        const fp::Bytes version{'t', 'r', 'a', 's', 'h', '-', 'v', '1'};
        return fp::ItemVersion{version, version};
    }
};

}  // namespace nimbuscrate
