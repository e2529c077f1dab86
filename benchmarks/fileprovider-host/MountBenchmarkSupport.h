#pragma once

// What the benchmarks of a mounted domain share: whether this process may
// mount, the size of the large file, writing that file, and registering
// (and so mounting) a domain with the daemon.

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "platform/fileprovider/host/HostDaemon.h"

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

// Registers the domain over the daemon's control requests; true once it is
// added (and mounted).
inline bool addDomain(fp::host::HostDaemon& daemon, const std::string& identifier, const std::string& displayName) {
    std::promise<nlohmann::json> added;
    daemon.handle({{"id", 1}, {"op", "addDomain"}, {"domain", {{"identifier", identifier}, {"displayName", displayName}}}},
                  [&](nlohmann::json reply) { added.set_value(reply); });
    return added.get_future().get().value("ok", false);
}

}  // namespace nimbuscrate::benchmarks
