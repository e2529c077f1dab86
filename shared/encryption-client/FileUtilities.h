#pragma once

#include <filesystem>

// The handle utilities (openFileForWriting, closeFileHandle) live with the
// segmented file format that needs them first.
#include "shared/encryption/FileHandle.h"

namespace nimbuscrate {

// Removes the file, or the folder with everything in it, at the path. Every
// failure, a missing item included, is dropped: the call never fails. For
// temporary files whose removal is a courtesy, never for user data.
void removeItemIfPresent(const std::filesystem::path& path) noexcept;

}  // namespace nimbuscrate
