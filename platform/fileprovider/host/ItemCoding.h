#pragma once

#include <nlohmann/json.hpp>

#include "platform/fileprovider/Item.h"

namespace nimbuscrate::fp::host {

// Items on the control channel: identifier, parent, filename, folder,
// size, modified (seconds since 2001), capabilities and the version's two
// parts in hexadecimal.
nlohmann::json toJSON(const Item& item);
// Throws std::invalid_argument for a missing or malformed field.
ItemPtr itemFromJSON(const nlohmann::json& json);

std::string hexOf(const Bytes& bytes);
// Throws std::invalid_argument for anything but pairs of hex digits.
Bytes bytesOfHex(const std::string& text);

}  // namespace nimbuscrate::fp::host
