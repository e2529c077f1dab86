#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/core/Url.h"

namespace nimbuscrate {

// Percent-encodes UTF-8 text: letters, digits, "-._~" and the characters of
// `allowed` stay, every other byte becomes "%" and two upper-case hex digits.
std::string percentEncoded(std::string_view text, std::string_view allowed);

// The characters a path segment keeps unescaped ("/" included, so a
// component may carry several segments).
inline constexpr std::string_view kPathAllowed = "!$&'()*+,;=:@/";
// The characters a query name or value keeps unescaped: the query set
// without "+", "&" and "=", so none of them can change the meaning.
inline constexpr std::string_view kQueryValueAllowed = "!$'()*,;:@/?";

// Decodes %XX escapes; nothing when an escape is malformed.
std::optional<std::string> percentDecoded(std::string_view text);

// The URL with a path component appended (encoded with kPathAllowed), after
// a "/" unless the path already ends with one; `directory` adds a trailing
// "/". The query, if any, is kept.
Url appendingPathComponent(const Url& url, std::string_view component, bool directory = false);

// The URL with its query replaced by the given name=value items, in order.
Url withQueryItems(const Url& url, const std::vector<std::pair<std::string, std::string>>& items);

}  // namespace nimbuscrate
