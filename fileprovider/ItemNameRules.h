#pragma once

#include <stdexcept>
#include <string>

namespace nimbuscrate {

// A name the drive cannot hold as a plain or encrypted item name.
class InvalidItemNameError : public std::runtime_error {
public:
    explicit InvalidItemNameError(const std::string& reason) : std::runtime_error(reason) {}
};

// Refuses, before any request is made, a name that cannot name an item of
// the drive: "", "." and "..", names holding "/" or a NUL character, and the
// names that folder listings hide (beginning "._", or the storage name of an
// encrypted blob), which would be created and then never seen again.
// Throws InvalidItemNameError.
void checkItemName(const std::string& name);

}  // namespace nimbuscrate
