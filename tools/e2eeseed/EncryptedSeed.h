#pragma once

#include <filesystem>

namespace nimbuscrate::e2eeseed {

// Makes the local service's seed of an encrypted account, with the project's
// own record and file formats (the service itself does no cryptography).
//
// base: a seed of the local service (plain drives and items, an "account"
// whose "accountId" and drives are kept). encrypted: what to encrypt,
//   {"drive": <id of a drive of base>,
//    "items": [{"path": "/Private", "folder": true},
//              {"path": "/Private/Diary.txt", "text": "...", "modified": <unix seconds>},
//              {"path": "/Private/Photo.jpg", "image": {"width": 1600, "height": 1200}}]}
// each item's parent ("/" or a folder listed before it) first. An "image"
// is a JPEG photo of that size (a colour gradient with a disc).
//
// Writes to seedOut the base seed with an "account" in mode "required"
// holding the key record of a fresh account key, "encryptedNodes" (a signed
// node record per folder and per file), "encryptedFiles" (the service's file
// record of each file's one revision) and, among the drive's items, each
// file's encrypted blob under its opaque name ("base64url" bytes). The key
// record also seals the key set under a new passphrase and a new recovery
// key, so the app's unlock opens it. Writes to keysOut (mode 0600) the
// unlocked key set of the account, as the app's unlock would leave it, and
// to unlockOut (mode 0600) {"passphrase": ..., "recoveryKey": ...}. The
// passphrase is four groups of five lowercase letters and digits (100 random
// bits), easy to read out and type. The result is opened as the client would
// before anything is written. Throws std::runtime_error with the reason.
void writeEncryptedSeed(const std::filesystem::path& base, const std::filesystem::path& encrypted,
                        const std::filesystem::path& seedOut, const std::filesystem::path& keysOut,
                        const std::filesystem::path& unlockOut);

}  // namespace nimbuscrate::e2eeseed
