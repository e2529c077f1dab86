#pragma once

#include <filesystem>
#include <memory>

#include "platform/secretstore/SecretBackend.h"

namespace nimbuscrate {

// Held for the life of an exclusive per-item lock (across processes).
class SecretItemLock {
public:
    explicit SecretItemLock(int fd) : fd_(fd) {}
    ~SecretItemLock();
    SecretItemLock(const SecretItemLock&) = delete;
    SecretItemLock& operator=(const SecretItemLock&) = delete;

private:
    int fd_;
};

// The secret store both programs share: one file per item in a private
// folder (0700, files 0600). Items are replaced atomically (write, fsync,
// rename), so a reader in another process sees the old or the new item,
// never a torn one. File names are hashes of (group, service, account), so
// no account text can reach outside the folder; symbolic links are never
// followed. Reading changes nothing on disk (a missing folder means no
// item); a save first removes what a crashed save left behind.
class FileSecretStore final : public SecretBackend {
public:
    explicit FileSecretStore(std::filesystem::path directory);

    SecretCopyResult copy(const SecretItemKey& key) override;
    SecretStatus update(const SecretItemKey& key, const Bytes& data) override;
    SecretStatus add(const SecretItemKey& key, const Bytes& data) override;
    SecretStatus remove(const SecretItemKey& key) override;

    // An exclusive lock on one item for read-compare-save sequences, shared
    // by every process using this folder. Blocks until it is granted.
    std::unique_ptr<SecretItemLock> lockItem(const SecretItemKey& key);

    const std::filesystem::path& directory() const { return directory_; }

    // The shared store in the user's data directory.
    static std::shared_ptr<FileSecretStore> shared();

private:
    std::filesystem::path directory_;
};

}  // namespace nimbuscrate
