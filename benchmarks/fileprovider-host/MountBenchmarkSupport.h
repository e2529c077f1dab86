#pragma once

// What the benchmarks of a mounted domain share: whether this process may
// mount, the size of the large file, writing that file, the project's own
// extension signed in to a drive of the local service, and registering (and
// so mounting) a domain with the daemon.

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "fileprovider/FileProviderExtension.h"
#include "fileprovider/OcisFileServer.h"
#include "platform/defaults/Defaults.h"
#include "platform/fileprovider/host/HostDaemon.h"
#include "platform/http/HttpTransport.h"
#include "shared/session/DesktopSession.h"
#include "shared/session/KeychainStore.h"
#include "shared/session/OAuthClient.h"
#include "shared/session/OcisClient.h"
#include "shared/session/PlainOnlyDriveService.h"
#include "shared/session/TokenProvider.h"
#include "tools/localservice/LocalService.h"

namespace nimbuscrate::benchmarks {

inline bool canMount() { return ::geteuid() == 0 && ::access("/dev/fuse", R_OK | W_OK) == 0; }

// NIMBUSCRATE_BENCH_FILE_MIB, 1024 when unset.
inline std::uint64_t benchmarkFileMiB() {
    std::uint64_t mib = 1024;
    if (const char* size = std::getenv("NIMBUSCRATE_BENCH_FILE_MIB")) mib = std::strtoull(size, nullptr, 10);
    return mib;
}

// Writes `bytes` of a fixed pattern in which no two 1 MiB blocks are alike.
inline void writeBigFile(const std::filesystem::path& path, std::uint64_t bytes) {
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 2654435761u) >> 13);
    std::ofstream out(path, std::ios::binary);
    for (std::uint64_t written = 0; written < bytes; written += block.size()) {
        block[0] = static_cast<char>(written >> 20);  // no two blocks alike
        out.write(block.data(), static_cast<std::streamsize>(std::min<std::uint64_t>(block.size(), bytes - written)));
    }
}

// The extension as the program runs it: a session for `drive` of the local
// service in a secret store under `root`, the mapping database, the upload
// counter and the file-server client, all kept here for the daemon's life.
// Removes a benchmark's folder when it goes out of scope. Declared before
// the service, the extension and the daemon, it goes after them: the
// extension's upload counter may still publish into the folder until it is
// destroyed.
struct RemovedAtEnd {
    std::filesystem::path root;
    ~RemovedAtEnd() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
};

struct SignedInExtension {
    SignedInExtension(localservice::LocalService& service, const std::string& drive, const std::filesystem::path& root)
        : issued(service.issueTokens()),
          store(KeychainStore::kSessionService, KeychainStore::kSessionAccount,
                KeychainBackends::inDirectory(root / "secrets")),
          mapping(root / "container"),
          defaults(root / "group.json"),
          uploads(std::make_shared<UploadActivityStore>(defaults, UploadActivityStore::kPublishInterval)),
          encryption(std::make_shared<PlainOnlyDriveService>()),
          oauth(HttpTransport::shared(), store, Clock::system()),
          tokens(store, oauth, Clock::system()),
          client(store, tokens, OcisClient::Services{encryption, nullptr, &mapping, uploads}) {
        service.useForThisProcess();
        store.save(bytesOf(DesktopSession::create(
                               OAuthTokens{issued.accessToken, issued.refreshToken, Date::now().addingSeconds(3600)},
                               DriveSelection{drive, drive, *Url::parse(service.webDavUrl(drive))})
                               .toJSON()));
    }

    fp::ExtensionFactory factory() {
        FileProviderExtension::Services services{std::make_shared<OcisFileServer>(client), encryption, &mapping,
                                                 uploads};
        return [services](fp::ExtensionEnvironment environment) -> fp::ExtensionPtr {
            return FileProviderExtension::make(std::move(environment), services);
        };
    }

    localservice::IssuedTokens issued;
    KeychainStore store;
    MappingStore mapping;
    Defaults defaults;
    std::shared_ptr<UploadActivityStore> uploads;
    std::shared_ptr<PlainOnlyDriveService> encryption;
    OAuthClient oauth;
    TokenProvider tokens;
    OcisClient client;
};

// Registers the domain over the daemon's control requests; true once it is
// added (and mounted).
inline bool addDomain(fp::host::HostDaemon& daemon, const std::string& identifier, const std::string& displayName) {
    std::promise<nlohmann::json> added;
    daemon.handle({{"id", 1}, {"op", "addDomain"}, {"domain", {{"identifier", identifier}, {"displayName", displayName}}}},
                  [&](nlohmann::json reply) { added.set_value(reply); });
    return added.get_future().get().value("ok", false);
}

// The daemon of the benchmark under `root` (home, run and data folders),
// started with the extension's domain "bench" added and mounted at
// root/home/Bench; none when the domain could not be mounted.
inline std::unique_ptr<fp::host::HostDaemon> mountedDaemon(const std::filesystem::path& root,
                                                           SignedInExtension& extension) {
    fp::host::HostDaemon::Options options;
    options.home = root / "home";
    options.runtimeDirectory = root / "run";
    options.dataDirectory = root / "data";
    options.factory = extension.factory();
    auto daemon = std::make_unique<fp::host::HostDaemon>(options);
    daemon->start();
    if (!addDomain(*daemon, "bench", "Bench")) return nullptr;
    return daemon;
}

}  // namespace nimbuscrate::benchmarks
