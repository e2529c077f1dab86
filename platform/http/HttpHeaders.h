#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nimbuscrate {

// An ordered list of HTTP header fields. Names compare case-insensitively;
// the spelling and order the caller gave are what goes on the wire.
class HttpHeaders {
public:
    using Field = std::pair<std::string, std::string>;

    HttpHeaders() = default;
    HttpHeaders(std::initializer_list<Field> fields);

    // Replaces every field of that name with one field.
    void set(std::string_view name, std::string_view value);
    // Appends a field, keeping existing ones of the same name.
    void add(std::string_view name, std::string_view value);
    void remove(std::string_view name);

    bool contains(std::string_view name) const;
    // The first field of that name.
    std::optional<std::string> value(std::string_view name) const;

    const std::vector<Field>& fields() const { return fields_; }
    bool empty() const { return fields_.empty(); }
    std::size_t size() const { return fields_.size(); }

    static bool namesEqual(std::string_view a, std::string_view b);

private:
    std::vector<Field> fields_;
};

}  // namespace nimbuscrate
