#include "fileprovider/FileProviderExtensionFactory.h"

#include "fileprovider/OcisFileServer.h"

namespace nimbuscrate {

FileProviderExtension::Services sharedExtensionServices() {
    static const auto server = std::make_shared<OcisFileServer>(OcisClient::shared());
    return FileProviderExtension::Services{server, nullptr, &MappingStore::shared(), UploadActivityStore::shared()};
}

fp::ExtensionPtr makeFileProviderExtension(fp::ExtensionEnvironment environment) {
    return FileProviderExtension::make(std::move(environment), sharedExtensionServices());
}

}  // namespace nimbuscrate
