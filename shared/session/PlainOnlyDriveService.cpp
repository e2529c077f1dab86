#include "shared/session/PlainOnlyDriveService.h"

#include <mutex>

#include "platform/core/CancellationError.h"
#include "shared/encryption/E2EEError.h"
#include "shared/session/DesktopError.h"

namespace nimbuscrate {

namespace {

std::mutex& serviceMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<EncryptedDriveService>& installed() {
    static std::shared_ptr<EncryptedDriveService> service;
    return service;
}

}  // namespace

std::shared_ptr<EncryptedDriveService> EncryptedDriveService::shared() {
    std::lock_guard lock(serviceMutex());
    if (!installed()) installed() = std::make_shared<PlainOnlyDriveService>();
    return installed();
}

void EncryptedDriveService::install(std::shared_ptr<EncryptedDriveService> service) {
    std::lock_guard lock(serviceMutex());
    installed() = std::move(service);
}

bool PlainOnlyDriveService::isEncryptionRequired(std::stop_token stop) {
    throwIfCancelled(stop);
    return false;
}

std::vector<RemoteItem> PlainOnlyDriveService::listEncryptedChildren(const RemoteItem&, std::stop_token stop) {
    throwIfCancelled(stop);
    return {};
}

std::filesystem::path PlainOnlyDriveService::downloadEncryptedFile(const RemoteItem& item, std::stop_token) {
    throw DesktopError::missingItem(item.id);
}

std::optional<Bytes> PlainOnlyDriveService::fetchEncryptedThumbnail(const RemoteItem& item, std::stop_token) {
    throw DesktopError::missingItem(item.id);
}

RemoteItem PlainOnlyDriveService::createEncryptedItem(const std::string&, const RemoteItem&, bool,
                                                      const std::optional<std::filesystem::path>&,
                                                      std::optional<Date>, std::stop_token) {
    throw E2EEError::setup();
}

RemoteItem PlainOnlyDriveService::modifyEncryptedItem(const RemoteItem& item, const RemoteItem&, const std::string&,
                                                      const std::optional<std::filesystem::path>&,
                                                      std::optional<Date>, bool, std::stop_token) {
    throw DesktopError::missingItem(item.id);
}

void PlainOnlyDriveService::deleteEncryptedItem(const RemoteItem& item, std::stop_token) {
    throw DesktopError::missingItem(item.id);
}

}  // namespace nimbuscrate
