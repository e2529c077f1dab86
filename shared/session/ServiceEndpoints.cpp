#include "shared/session/ServiceEndpoints.h"

#include <stdexcept>
#include <string>

namespace nimbuscrate {

namespace {

Url compiledIn(const std::string& text) {
    auto url = Url::parse(text);
    if (!url) throw std::logic_error("compiled-in service URL does not parse: " + text);
    return *url;
}

}  // namespace

const Url& identityRealmURL() {
    static const Url url = compiledIn(std::string("https://") + NIMBUSCRATE_IDENTITY_HOST + "/realms/nimbuscrate");
    return url;
}

const Url& webAppURL() {
    static const Url url = compiledIn(std::string("https://") + NIMBUSCRATE_WEBAPP_HOST);
    return url;
}

const Url& mediaServiceURL() {
    static const Url url = compiledIn(std::string("https://") + NIMBUSCRATE_MEDIA_HOST);
    return url;
}

const Url& accountAPIURL() {
    static const Url url = compiledIn(std::string("https://") + NIMBUSCRATE_ACCOUNT_API_HOST + "/api/v1/");
    return url;
}

const Url& signUpURL() {
    static const Url url = compiledIn(std::string("https://") + NIMBUSCRATE_CONTROL_PANEL_HOST + "/signup?source=desktop");
    return url;
}

}  // namespace nimbuscrate
