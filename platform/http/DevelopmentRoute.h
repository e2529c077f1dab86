#pragma once

// Development and test builds only: release builds compile none of this.
#ifdef NIMBUSCRATE_DEVELOPMENT

#include <optional>
#include <string>
#include <string_view>

namespace nimbuscrate {

// Sends every request for one of the compiled-in service hosts to a local
// address instead (the URL and the Host header stay the production ones)
// and trusts the local service's CA for those requests. Set by the
// environment variables NIMBUSCRATE_DEV_SERVICE ("127.0.0.1:<port>") and
// NIMBUSCRATE_DEV_CA_FILE (PEM path), both required; an in-process setting
// made with set() takes precedence over the environment.
class DevelopmentRoute {
public:
    struct Target {
        std::string address;  // "127.0.0.1:<port>"
        std::string caFile;
        bool operator==(const Target&) const = default;
    };

    static void set(std::string address, std::string caFile);
    // Forgets the in-process setting; the environment applies again.
    static void clear();
    // The route in force, if any.
    static std::optional<Target> current();

    // Whether the host is one of the five compiled-in service hosts.
    static bool isServiceHost(std::string_view host);
};

}  // namespace nimbuscrate

#endif  // NIMBUSCRATE_DEVELOPMENT
