#pragma once

#include <string>

namespace nimbuscrate::fp {

// A registered location: the system compares domains by identifier only.
struct Domain {
    std::string identifier;
    std::string displayName;

    bool sameIdentifier(const Domain& other) const { return identifier == other.identifier; }
    bool operator==(const Domain&) const = default;
};

}  // namespace nimbuscrate::fp
