#pragma once

#include <filesystem>

#include "tools/localservice/DavServer.h"

namespace nimbuscrate::localservice {

// Loads a seed file into the file server. The file is JSON:
//   {"drives": [{"id", "name", "driveType" (optional), "webDavUrl" (optional),
//                "items": [{"path": "/Docs", "folder": true},
//                          {"path": "/Docs/a.txt", "text": "...", "modified": <unix seconds>},
//                          {"path": "/Photos/p.jpg", "image": {"width": 640, "height": 480}},
//                          {"path": "/Docs/x.bin", "randomBytes": 4096},
//                          {"path": "/Docs/y.bin", "base64url": "<unpadded base64url bytes>"}]}]}
// and, read by applyAccountSeed (AccountApi.h), an optional "account": the
// object GET e2ee/account answers with, and optional "encryptedNodes" and
// "encryptedFiles": records the account API lists as if written and
// uploaded (the seed of an encrypted account is made by
// tools/e2eeseed; the service only stores the records).
// Folders above an item are created as needed; images are rendered with
// libvips in the format their extension names (JPEG or PNG). Throws
// std::runtime_error with the reason on a malformed seed.
void applySeedFile(const std::filesystem::path& seedFile, DavServer& files);

}  // namespace nimbuscrate::localservice
