#pragma once

#include <string>
#include <string_view>

namespace nimbuscrate {

// The canonical form of a server path: "/" plus the non-empty pieces other
// than ".", joined by "/"; no trailing "/". ".." is kept as a piece (callers
// that build URLs refuse it).
std::string normalizeRemotePath(std::string_view path);

}  // namespace nimbuscrate
