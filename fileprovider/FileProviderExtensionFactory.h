#pragma once

#include "fileprovider/FileProviderExtension.h"

namespace nimbuscrate {

// The services of the extension process: the shared file-server client (over
// the stored session and the shared token provider), the process's
// encryption service, the shared mapping database and upload counter.
FileProviderExtension::Services sharedExtensionServices();

// Makes the extension for a domain over the process's services; this is what
// the host hands the system as the extension's factory.
fp::ExtensionPtr makeFileProviderExtension(fp::ExtensionEnvironment environment);

}  // namespace nimbuscrate
