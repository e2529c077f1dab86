#pragma once

#include <exception>
#include <stdexcept>
#include <string>

#include "platform/fileprovider/Error.h"

namespace nimbuscrate {

// A create refused because the server already holds an item of that name in
// the folder (one the extension has not listed yet). Nothing was written;
// the local copy stays with the system.
class NameCollisionError : public std::runtime_error {
public:
    explicit NameCollisionError(const std::string& name)
        : std::runtime_error("An item named \"" + name + "\" already exists in this folder on the server."),
          name_(name) {}
    const std::string& name() const noexcept { return name_; }

private:
    std::string name_;
};

// The error handed to the system for a failure of an entry: a name collision
// is the platform's filename-collision error (-1001, with its description),
// so the system keeps the local item and reports the clash; a name the drive
// can never hold (InvalidItemNameError) is cannot-synchronize (-2005, with
// its description), which the system shows instead of retrying; every other
// failure goes through fileProviderError.
fp::Error extensionError(std::exception_ptr error);

// The localized description of a failure, for log lines.
std::string describeError(std::exception_ptr error);

}  // namespace nimbuscrate
