#include "platform/secretstore/SecretStatus.h"

namespace nimbuscrate {

std::string secretStatusMessage(SecretStatus status) {
    switch (status) {
    case kSecretSuccess: return "No error.";
    case kSecretMissingEntitlement: return "This program is not allowed to use this secret store.";
    case kSecretItemNotFound: return "The secret item could not be found.";
    case kSecretDuplicateItem: return "The secret item already exists.";
    case kSecretDecode: return "The secret item's data could not be decoded.";
    case kSecretIOError: return "The secret store's files could not be read or written.";
    case kSecretParam: return "The secret store was given an invalid argument.";
    default: return {};
    }
}

}  // namespace nimbuscrate
