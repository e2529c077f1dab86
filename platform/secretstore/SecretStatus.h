#pragma once

#include <cstdint>
#include <string>

namespace nimbuscrate {

// Status codes of the secret store, the same numbers the platform's keychain answers.
using SecretStatus = std::int32_t;

inline constexpr SecretStatus kSecretSuccess = 0;
inline constexpr SecretStatus kSecretMissingEntitlement = -34018;  // this backend is not usable by the program
inline constexpr SecretStatus kSecretItemNotFound = -25300;
inline constexpr SecretStatus kSecretDuplicateItem = -25299;
inline constexpr SecretStatus kSecretDecode = -26275;  // read succeeded but gave no byte blob
inline constexpr SecretStatus kSecretIOError = -36;    // the store's files could not be read or written
inline constexpr SecretStatus kSecretParam = -50;      // an argument the store cannot accept

// The store's message for a status, or empty when it has none.
std::string secretStatusMessage(SecretStatus status);

}  // namespace nimbuscrate
