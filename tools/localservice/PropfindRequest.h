#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbuscrate::localservice {

inline constexpr const char* kDavNamespace = "DAV:";
inline constexpr const char* kOwnCloudNamespace = "http://owncloud.org/ns";

// A property name with its namespace URI ("" for none).
struct PropertyName {
    std::string ns;
    std::string local;
    bool operator==(const PropertyName&) const = default;
};

// What a PROPFIND body asks for. An empty body means all properties.
struct PropfindRequest {
    enum class Kind { allProperties, propertyNames, properties };
    Kind kind = Kind::allProperties;
    std::vector<PropertyName> properties;

    static constexpr std::size_t kMaxProperties = 256;

    // Parses the body with expat, namespaces processed. Document type
    // declarations (and so entities) are refused. None when the body is not
    // a well-formed DAV:propfind; `error` says why.
    static std::optional<PropfindRequest> parse(std::string_view body, std::string& error);
};

}  // namespace nimbuscrate::localservice
