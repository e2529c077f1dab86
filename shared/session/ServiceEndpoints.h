#pragma once

#include "platform/core/Url.h"

namespace nimbuscrate {

// The compiled-in service base URLs, each parsed once on first use. Their
// hosts are build settings; a development build may route them to the local
// service at run time (the HTTP layer does that), never change them.

// "https://<identity host>/realms/nimbuscrate": token and authorization endpoints.
const Url& identityRealmURL();
// "https://<web app host>", no path: drives listing, fallback WebDAV root, blob locations.
const Url& webAppURL();
// "https://<media host>", no path: plain and encrypted thumbnails.
const Url& mediaServiceURL();
// "https://<account API host>/api/v1/": the base of every account-API request.
const Url& accountAPIURL();
// "https://<control panel host>/signup?source=desktop": the sign-up page.
const Url& signUpURL();

}  // namespace nimbuscrate
