#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/fileprovider/Domain.h"
#include "platform/fileprovider/Error.h"

namespace nimbuscrate::fp::host {

// The control channel between the app (or the command-line client) and the
// host: one JSON object per line each way. A request is
//   {"id": <integer>, "op": "<operation>", "domain": {"identifier": "...", "displayName": "..."}, "item": "..."}
// and its reply {"id": <same>, "ok": true, ...results} or
//   {"id": <same>, "ok": false, "error": {"domain": "...", "code": <integer>, "description": "..."}}
// (a reply to a request whose id could not be read has "id": null).
inline constexpr std::size_t kMaxLineLength = 64 * 1024;
// The largest thumbnail side a "fetchThumbnail" request may ask for, in pixels.
inline constexpr int kMaxThumbnailRequestSize = 4096;

// The socket in the user's runtime folder.
std::filesystem::path controlSocketPath(const std::filesystem::path& runtimeDirectory);
// $XDG_RUNTIME_DIR, else a private folder under /tmp for this user.
std::filesystem::path defaultRuntimeDirectory();

nlohmann::json toJSON(const Domain& domain);
// Throws std::invalid_argument for a missing or malformed field.
Domain domainFromJSON(const nlohmann::json& json);

nlohmann::json toJSON(const Error& error);
Error errorFromJSON(const nlohmann::json& json);

// An error of the channel itself (bad request, unknown operation).
Error channelError(const std::string& description);

// Identifiers name folders of the host's state: letters, digits, ".", "_"
// and "-", 1 to 128 characters, not "." or "..". Display names name the
// mount folder: 1 to 255 bytes, no "/" or NUL, not "." or "..".
bool isValidDomainIdentifier(const std::string& identifier);
bool isValidDisplayName(const std::string& name);

}  // namespace nimbuscrate::fp::host
