// NimbuscrateFileProvider: the per-user daemon that holds the extension and
// serves each registered domain as a folder of the user's home, against the
// signed-in session.
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include "fileprovider/FileProviderExtensionFactory.h"
#include "platform/core/DataPaths.h"
#include "platform/fileprovider/host/ControlProtocol.h"
#include "platform/fileprovider/host/DaemonProgram.h"
#include "platform/fileprovider/host/HostDaemon.h"
#include "shared/encryption-client/E2EEClient.h"
#include "shared/session/UploadActivityStore.h"

using namespace nimbuscrate;

int main(int argc, char** argv) {
    if (argc > 1) {
        std::cerr << "usage: NimbuscrateFileProvider\n"
                     "  Serves the registered domains at $HOME/<display name>; nimbuscrate-fpctl adds and removes them.\n";
        return 2;
    }
    (void)argv;
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        std::cerr << "NimbuscrateFileProvider: HOME is not set\n";
        return 1;
    }
    setProgramName("NimbuscrateFileProvider");
    // A new process has no upload running, whatever an earlier one published.
    UploadActivityStore::shared()->resetCount();

    fp::host::HostDaemon::Options options;
    options.home = home;
    try {
        options.runtimeDirectory = fp::host::defaultRuntimeDirectory();
        options.dataDirectory = containerDirectory() / "fileprovider";
    } catch (const std::exception& error) {
        std::cerr << "NimbuscrateFileProvider: " << error.what() << "\n";
        return 1;
    }
    options.factory = [](fp::ExtensionEnvironment environment) { return makeFileProviderExtension(std::move(environment)); };
    try {
        // Encrypted items and the encryption policy of this process go through
        // the encryption client; a plain account only has its mode read.
        EncryptedDriveService::install(E2EEClient::shared());
    } catch (const std::exception& error) {
        std::cerr << "NimbuscrateFileProvider: " << error.what() << "\n";
        return 1;
    }
    return fp::host::runDaemonProgram("NimbuscrateFileProvider", options, /*announceSocket=*/true);
}
