#pragma once

#include "platform/fileprovider/Identifiers.h"

namespace nimbuscrate::fp {

// Two opaque versions of an item: one moves when its contents change, the
// other when its metadata changes.
struct ItemVersion {
    Bytes content;
    Bytes metadata;

    bool operator==(const ItemVersion&) const = default;
};

}  // namespace nimbuscrate::fp
