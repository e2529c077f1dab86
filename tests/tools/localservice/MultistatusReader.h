#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace nimbuscrate::localservice::testing {

// One response of a multistatus reply, read with expat (namespaces on):
// properties are keyed "<namespace URI> <local name>", per status code.
struct DavEntry {
    std::string href;
    std::map<std::string, std::string> found;    // 200 block
    std::map<std::string, std::string> missing;  // 404 block
    bool isCollection = false;

    std::optional<std::string> prop(const std::string& key) const {
        auto it = found.find(key);
        if (it == found.end()) return std::nullopt;
        return it->second;
    }
};

// Parses a multistatus document; none when it is not well-formed.
std::optional<std::vector<DavEntry>> readMultistatus(const std::string& xml);

}  // namespace nimbuscrate::localservice::testing
