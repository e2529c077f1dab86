#pragma once

#include <optional>
#include <string>

#include "platform/core/Bytes.h"
#include "platform/secretstore/SecretStatus.h"

namespace nimbuscrate {

// Identifies one generic-password item.
struct SecretItemKey {
    std::string accessGroup;
    std::string service;
    std::string account;
};

struct SecretCopyResult {
    SecretStatus status = kSecretItemNotFound;
    // With status 0: the item's data; absent when the item holds no blob.
    std::optional<Bytes> data;
};

// One place that holds secret items and answers with status codes.
class SecretBackend {
public:
    virtual ~SecretBackend() = default;
    virtual SecretCopyResult copy(const SecretItemKey& key) = 0;
    // Replaces the data of an existing item (-25300 when there is none).
    virtual SecretStatus update(const SecretItemKey& key, const Bytes& data) = 0;
    // Adds a new item (-25299 when it exists).
    virtual SecretStatus add(const SecretItemKey& key, const Bytes& data) = 0;
    // Deletes the item (-25300 when there is none).
    virtual SecretStatus remove(const SecretItemKey& key) = 0;
};

// The legacy backend on this platform: not available, every call answers -34018.
class UnavailableSecretBackend final : public SecretBackend {
public:
    SecretCopyResult copy(const SecretItemKey&) override { return {kSecretMissingEntitlement, std::nullopt}; }
    SecretStatus update(const SecretItemKey&, const Bytes&) override { return kSecretMissingEntitlement; }
    SecretStatus add(const SecretItemKey&, const Bytes&) override { return kSecretMissingEntitlement; }
    SecretStatus remove(const SecretItemKey&) override { return kSecretMissingEntitlement; }
};

}  // namespace nimbuscrate
