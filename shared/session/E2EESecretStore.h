#pragma once

#include <optional>

#include "platform/core/Bytes.h"

namespace nimbuscrate {

// A store of one secret item; the encryption client receives these from its
// credentials and never names the secret store itself.
class E2EESecretStore {
public:
    virtual ~E2EESecretStore() = default;
    // The item's bytes, or nothing when no backend holds it.
    virtual std::optional<Bytes> read() const = 0;
    // Creates or replaces the item's bytes.
    virtual void save(const Bytes& bytes) const = 0;
};

}  // namespace nimbuscrate
