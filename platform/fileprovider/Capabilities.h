#pragma once

#include <cstdint>

namespace nimbuscrate::fp {

// What the system may do with an item: a set of the bits below.
using Capabilities = std::uint32_t;

namespace Capability {
inline constexpr Capabilities allowsReading = 1;
inline constexpr Capabilities allowsContentEnumerating = 1;  // same bit, for folders
inline constexpr Capabilities allowsWriting = 2;
inline constexpr Capabilities allowsAddingSubItems = 2;  // same bit, for folders
inline constexpr Capabilities allowsReparenting = 4;
inline constexpr Capabilities allowsRenaming = 8;
inline constexpr Capabilities allowsTrashing = 16;
inline constexpr Capabilities allowsDeleting = 32;
inline constexpr Capabilities allowsEvicting = 64;
inline constexpr Capabilities allowsExcludingFromSync = 128;
}  // namespace Capability

// When the system downloads an item's contents.
enum class ContentPolicy : std::int32_t {
    inherited = 0,       // take the parent's policy
    downloadLazily = 1,  // on first access
    downloadEagerly = 2,
};

// The fields of an item that a create or a modification concerns.
using ItemFields = std::uint32_t;

namespace ItemField {
inline constexpr ItemFields contents = 1u << 0;
inline constexpr ItemFields filename = 1u << 1;
inline constexpr ItemFields parentItemIdentifier = 1u << 2;
inline constexpr ItemFields creationDate = 1u << 6;
inline constexpr ItemFields contentModificationDate = 1u << 7;
}  // namespace ItemField

}  // namespace nimbuscrate::fp
