// nimbuscrate-fileprovider-host: the per-user daemon that serves each
// registered domain as a folder of the user's home.
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/core/DataPaths.h"
#include "platform/fileprovider/host/ControlProtocol.h"
#include "platform/fileprovider/host/DaemonProgram.h"
#include "platform/fileprovider/host/HostDaemon.h"
#include "platform/fileprovider/testing/InMemoryExtension.h"

using namespace nimbuscrate;
using namespace nimbuscrate::fp;

namespace {

// Copies a folder of this machine into the in-memory tree.
void seed(testing::InMemoryExtension& tree, const ItemId& parent, const std::filesystem::path& folder) {
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        auto name = entry.path().filename().string();
        auto modified = std::chrono::duration<double>(
            std::chrono::file_clock::to_sys(entry.last_write_time()).time_since_epoch()).count();
        if (entry.is_directory()) {
            seed(tree, tree.addFolder(parent, name, Date::fromUnixSeconds(modified)), entry.path());
        } else if (entry.is_regular_file()) {
            std::ifstream in(entry.path(), std::ios::binary);
            std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            tree.addFile(parent, name, std::move(data), Date::fromUnixSeconds(modified));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<std::filesystem::path> seedFolder;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--seed" && i + 1 < argc) {
            seedFolder = argv[++i];
        } else {
            std::cerr << "usage: nimbuscrate-fileprovider-host [--seed FOLDER]\n";
            return 2;
        }
    }
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        std::cerr << "nimbuscrate-fileprovider-host: HOME is not set\n";
        return 1;
    }
    setProgramName("NimbuscrateFileProvider");

    // The host on its own: each domain is served by the in-memory
    // extension, optionally filled from a folder (no service, no session).
    host::HostDaemon::Options options;
    options.home = home;
    try {
        options.runtimeDirectory = host::defaultRuntimeDirectory();
        options.dataDirectory = containerDirectory() / "fileprovider";
    } catch (const std::exception& error) {
        std::cerr << "nimbuscrate-fileprovider-host: " << error.what() << "\n";
        return 1;
    }
    options.factory = [seedFolder](ExtensionEnvironment environment) -> ExtensionPtr {
        auto scratch = environment.temporaryDirectory.empty() ? std::filesystem::temp_directory_path()
                                                              : environment.temporaryDirectory;
        auto tree = std::make_shared<testing::InMemoryExtension>(std::move(environment), scratch);
        if (seedFolder) seed(*tree, kRootContainer, *seedFolder);
        return tree;
    };
    return host::runDaemonProgram("nimbuscrate-fileprovider-host", options, /*announceSocket=*/false);
}
