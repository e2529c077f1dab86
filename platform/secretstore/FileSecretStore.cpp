#include "platform/secretstore/FileSecretStore.h"

#include <openssl/evp.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>

#include "platform/core/AtomicFile.h"
#include "platform/core/DataPaths.h"
#include "platform/core/PlatformError.h"

namespace nimbuscrate {

namespace {

constexpr const char* kHexDigits = "0123456789abcdef";

std::string hex(const std::uint8_t* data, std::size_t size) {
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(kHexDigits[data[i] >> 4]);
        text.push_back(kHexDigits[data[i] & 0x0F]);
    }
    return text;
}

std::optional<Bytes> unhex(const std::string& text) {
    if (text.size() % 2 != 0) return std::nullopt;
    Bytes out;
    out.reserve(text.size() / 2);
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = nibble(text[i]), low = nibble(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    return out;
}

// The item's file stem: SHA-256 over the three names, each length-prefixed,
// so any text (slashes, "..", NUL, very long accounts) maps to 64 hex digits.
std::string itemStem(const SecretItemKey& key) {
    std::string material;
    for (const std::string* part : {&key.accessGroup, &key.service, &key.account}) {
        material += std::to_string(part->size());
        material.push_back(':');
        material += *part;
    }
    std::uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(material.data(), material.size(), digest, &length, EVP_sha256(), nullptr);
    return hex(digest, length);
}

// Makes sure the folder exists, is a real folder owned by us, and is 0700.
bool preparePrivateFolder(const std::filesystem::path& directory) {
    try {
        createPrivateDirectories(directory);
    } catch (const PlatformError&) {
        return false;
    }
    struct stat info {};
    if (::lstat(directory.c_str(), &info) != 0) return false;
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) return false;
    if ((info.st_mode & 07777) != 0700 && ::chmod(directory.c_str(), 0700) != 0) return false;
    return true;
}

enum class FolderState { missing, usable, unusable };

// Looks at the folder without changing it (reads never create or tighten it).
FolderState inspectFolder(const std::filesystem::path& directory) {
    struct stat info {};
    if (::lstat(directory.c_str(), &info) != 0) return errno == ENOENT ? FolderState::missing : FolderState::unusable;
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) return FolderState::unusable;
    return FolderState::usable;
}

// Removes the temporary files of saves that never finished (a crash between
// writing and renaming). Called under the store's lock, which every save
// holds, so no temporary file of a save in progress can be among them.
void removeLeftoverTemporaryFiles(const std::filesystem::path& directory) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(".") && name.find(".item.tmp-") != std::string::npos) {
            std::error_code ignored;
            std::filesystem::remove(entry.path(), ignored);
        }
    }
}

}  // namespace

SecretItemLock::~SecretItemLock() {
    if (fd_ >= 0) ::close(fd_);
}

FileSecretStore::FileSecretStore(std::filesystem::path directory) : directory_(std::move(directory)) {}

SecretCopyResult FileSecretStore::copy(const SecretItemKey& key) {
    switch (inspectFolder(directory_)) {
    case FolderState::missing: return {kSecretItemNotFound, std::nullopt};
    case FolderState::unusable: return {kSecretIOError, std::nullopt};
    case FolderState::usable: break;
    }
    std::optional<Bytes> contents;
    try {
        // Never follows a link and refuses anything but a regular file
        // without waiting (a FIFO in the item's place does not hang a read).
        contents = readFileNoFollow(directory_ / (itemStem(key) + ".item"));
    } catch (const PlatformError&) {
        return {kSecretIOError, std::nullopt};
    }
    if (!contents) return {kSecretItemNotFound, std::nullopt};
    try {
        const auto record = nlohmann::json::parse(contents->begin(), contents->end());
        if (record.at("accessGroup") != key.accessGroup || record.at("service") != key.service ||
            record.at("account") != key.account) {
            return {kSecretItemNotFound, std::nullopt};
        }
        auto data = unhex(record.at("data").get<std::string>());
        if (!data) return {kSecretDecode, std::nullopt};
        return {kSecretSuccess, std::move(data)};
    } catch (const nlohmann::json::exception&) {
        return {kSecretDecode, std::nullopt};
    }
}

namespace {

enum class Presence { mustExist, mustBeAbsent };

SecretStatus writeItem(const std::filesystem::path& directory, const SecretItemKey& key, const Bytes& data,
                       Presence presence) {
    if (!preparePrivateFolder(directory)) return kSecretIOError;
    try {
        FileLock lock(directory / ".store.lock");
        removeLeftoverTemporaryFiles(directory);
        const auto file = directory / (itemStem(key) + ".item");
        struct stat info {};
        const bool exists = ::lstat(file.c_str(), &info) == 0;
        if (presence == Presence::mustExist && !exists) return kSecretItemNotFound;
        if (presence == Presence::mustBeAbsent && exists) return kSecretDuplicateItem;
        const nlohmann::json record = {
            {"accessGroup", key.accessGroup},
            {"service", key.service},
            {"account", key.account},
            {"data", hex(data.data(), data.size())},
        };
        const std::string text = record.dump();
        writeFileAtomically(file, Bytes(text.begin(), text.end()), 0600);
        return kSecretSuccess;
    } catch (const PlatformError&) {
        return kSecretIOError;
    }
}

}  // namespace

SecretStatus FileSecretStore::update(const SecretItemKey& key, const Bytes& data) {
    return writeItem(directory_, key, data, Presence::mustExist);
}

SecretStatus FileSecretStore::add(const SecretItemKey& key, const Bytes& data) {
    return writeItem(directory_, key, data, Presence::mustBeAbsent);
}

SecretStatus FileSecretStore::remove(const SecretItemKey& key) {
    if (!preparePrivateFolder(directory_)) return kSecretIOError;
    try {
        FileLock lock(directory_ / ".store.lock");
        const auto file = directory_ / (itemStem(key) + ".item");
        if (::unlink(file.c_str()) != 0) return errno == ENOENT ? kSecretItemNotFound : kSecretIOError;
        syncDirectory(directory_);
        return kSecretSuccess;
    } catch (const PlatformError&) {
        return kSecretIOError;
    }
}

std::unique_ptr<SecretItemLock> FileSecretStore::lockItem(const SecretItemKey& key) {
    if (!preparePrivateFolder(directory_)) {
        throw PlatformError(kOSStatusErrorDomain, kSecretIOError, "The secret store's folder is not usable.");
    }
    const auto lockFile = directory_ / (itemStem(key) + ".lock");
    const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) throw posixError(errno, "open " + lockFile.string());
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        const int error = errno;
        ::close(fd);
        throw posixError(error, "flock " + lockFile.string());
    }
    return std::make_unique<SecretItemLock>(fd);
}

std::shared_ptr<FileSecretStore> FileSecretStore::shared() {
    static const auto store = std::make_shared<FileSecretStore>(sharedDataDirectory() / "secrets");
    return store;
}

}  // namespace nimbuscrate
