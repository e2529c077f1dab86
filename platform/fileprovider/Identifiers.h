#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nimbuscrate::fp {

// The identifier of an item as the system knows it.
using ItemId = std::string;

// Opaque byte strings: item versions, sync anchors and page tokens.
using Bytes = std::vector<std::uint8_t>;
using SyncAnchor = Bytes;
using Page = Bytes;

// A property an item may leave out entirely (outer empty), provide with no
// value (inner empty), or provide with a value.
template <class T>
using Provided = std::optional<std::optional<T>>;

// The three container identifiers of every domain. They begin with "." so
// that they never meet an identifier the extension makes for a server item.
inline const ItemId kRootContainer = ".root-container";
inline const ItemId kWorkingSet = ".working-set";
inline const ItemId kTrashContainer = ".trash-container";

// The page to start an enumeration with when nothing else is asked for.
inline const Page kInitialPage{};

}  // namespace nimbuscrate::fp
