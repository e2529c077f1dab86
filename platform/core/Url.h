#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nimbuscrate {

// An absolute URL (scheme and host required), parsed and normalised by
// libcurl's URL API.
class Url {
public:
    // Nothing when the text is not an absolute URL with a host.
    static std::optional<Url> parse(std::string_view text);

    const std::string& string() const { return text_; }
    const std::string& scheme() const { return scheme_; }  // lower case
    const std::string& host() const { return host_; }      // lower case
    // The explicit port, or the scheme's default (443 for https, 80 for http).
    int port() const { return port_; }
    // The percent-encoded path, "/" at the least.
    const std::string& path() const { return path_; }
    // The query without "?", empty when there is none.
    const std::string& query() const { return query_; }

    // scheme://host[:port] as the origin of redirect and token rules.
    std::string origin() const;

    bool operator==(const Url& other) const { return text_ == other.text_; }

private:
    std::string text_, scheme_, host_, path_, query_;
    int port_ = 0;
};

}  // namespace nimbuscrate
