#include "platform/http/HttpHeaders.h"

#include <algorithm>
#include <cctype>

namespace nimbuscrate {

HttpHeaders::HttpHeaders(std::initializer_list<Field> fields) {
    for (const auto& [name, value] : fields) add(name, value);
}

bool HttpHeaders::namesEqual(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

void HttpHeaders::set(std::string_view name, std::string_view value) {
    remove(name);
    add(name, value);
}

void HttpHeaders::add(std::string_view name, std::string_view value) {
    fields_.emplace_back(std::string(name), std::string(value));
}

void HttpHeaders::remove(std::string_view name) {
    std::erase_if(fields_, [&](const Field& field) { return namesEqual(field.first, name); });
}

bool HttpHeaders::contains(std::string_view name) const { return value(name).has_value(); }

std::optional<std::string> HttpHeaders::value(std::string_view name) const {
    for (const auto& field : fields_) {
        if (namesEqual(field.first, name)) return field.second;
    }
    return std::nullopt;
}

}  // namespace nimbuscrate
