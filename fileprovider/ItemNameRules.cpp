#include "fileprovider/ItemNameRules.h"

#include "shared/session/OcisClient.h"

namespace nimbuscrate {

void checkItemName(const std::string& name) {
    if (name.empty()) throw InvalidItemNameError("An item needs a name.");
    if (name == "." || name == "..") throw InvalidItemNameError("\"" + name + "\" cannot be used as a name.");
    if (name.find('/') != std::string::npos) throw InvalidItemNameError("A name cannot contain \"/\".");
    if (name.find('\0') != std::string::npos) throw InvalidItemNameError("A name cannot contain a NUL character.");
    if (name.rfind("._", 0) == 0) {
        throw InvalidItemNameError("Names beginning with \"._\" are reserved and cannot be synchronised.");
    }
    if (OcisClient::isEncryptedBlobPath(name)) {
        throw InvalidItemNameError("\"" + name + "\" is reserved for encrypted storage and cannot be used as a name.");
    }
}

}  // namespace nimbuscrate
