// Writes through a mounted domain served by the real extension, until they
// are on the server, against the curl command line writing the same to the
// local service:
// - a large file copied into the mount vs one curl PUT of it: curl's time
//   over the mount's, goal at least 0.7 (NIMBUSCRATE_BENCH_FILE_MIB sets the
//   size, default 1024);
// - `cp -r` of a folder of 200 and of 2,000 files of 4 KiB vs as many curl
//   PUTs on one connection (one curl run with every URL): the mount's time
//   over curl's, goal at most 3 for 2,000 files; and the mount's growth from
//   200 to 2,000 files, goal at most 11 (linear, with a margin). Each size
//   runs in rounds (7 of 200, 3 of 2,000) and the medians count.
// Needs root and /dev/fuse (the mount); skipped otherwise.
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iostream>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "benchmarks/BenchmarkSupport.h"
#include "benchmarks/fileprovider-host/MountBenchmarkSupport.h"
#include "platform/fileprovider/host/HostDaemon.h"

namespace nimbuscrate::benchmarks {
namespace {

using Steady = std::chrono::steady_clock;

void BM_UploadThroughMount(benchmark::State& state) {
    if (!canMount()) {
        state.SkipWithError("needs root and /dev/fuse to mount");
        return;
    }
    const std::uint64_t mib = benchmarkFileMiB();
    const std::uint64_t bytes = mib << 20;

    auto root = std::filesystem::path("/tmp") / ("fpub-" + std::to_string(::getpid()));
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / "home");
    const RemovedAtEnd removed{root};
    auto source = root / "big.bin";
    writeBigFile(source, bytes);

    localservice::LocalService service(localservice::LocalService::Options{root / "service", 0, std::nullopt});
    service.addDrive({"bench", "Bench", "project", ""});
    SignedInExtension extension(service, "bench", root);

    const auto daemon = mountedDaemon(root, extension);
    if (!daemon) {
        state.SkipWithError("could not mount the domain");
        return;
    }
    auto* mount = daemon->mountFor("bench");
    auto mountpoint = root / "home" / "Bench";
    const std::string connectTo = localservice::webAppHost() + ":443:127.0.0.1:" + std::to_string(service.port());
    int round = 0;

    for (auto _ : state) {
        const std::string name = "copy-" + std::to_string(++round) + ".bin";
        auto start = Steady::now();
        if (std::system(("cp '" + source.string() + "' '" + (mountpoint / name).string() + "'").c_str()) != 0) {
            state.SkipWithError("cp into the mount failed");
            break;
        }
        std::promise<std::optional<fp::Error>> sent;
        mount->waitForChanges(fp::kRootContainer, [&](std::optional<fp::Error> error) { sent.set_value(error); });
        auto error = sent.get_future().get();
        double throughMount = secondsSince(start);
        if (error || std::filesystem::file_size(service.driveDirectory("bench") / name) != bytes) {
            state.SkipWithError("the upload did not arrive");
            break;
        }

        start = Steady::now();
        std::string curl = "curl -sS -o /dev/null -T '" + source.string() + "' --cacert '" +
                           service.caCertificateFile().string() + "' --connect-to '" + connectTo +
                           "' -H 'Authorization: Bearer " + extension.issued.accessToken + "' '" + service.webDavUrl("bench") +
                           "/curl-" + std::to_string(round) + ".bin'";
        if (std::system(curl.c_str()) != 0) {
            state.SkipWithError("curl upload failed");
            break;
        }
        double plain = secondsSince(start);
        state.counters["upload_vs_curl"] = plain / throughMount;
        std::cout << "file " << mib << " MiB: cp into the mount until uploaded " << throughMount << " s, curl PUT "
                  << plain << " s, ratio " << plain / throughMount << " (goal >= 0.7)\n";
    }
    daemon->stop();
}

BENCHMARK(BM_UploadThroughMount)->Unit(benchmark::kSecond)->Iterations(1);

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

struct TreeTimes {
    double mount = 0;
    double curl = 0;
};
// Seconds by number of files, for the report after the runs.
std::map<int, TreeTimes>& treeTimes() {
    static std::map<int, TreeTimes> times;
    return times;
}

// Whether the folder holds `count` files of `bytes` bytes each.
bool holdsFiles(const std::filesystem::path& folder, int count, std::uintmax_t bytes) {
    std::error_code error;
    int found = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (entry.is_regular_file(error) && entry.file_size(error) == bytes) ++found;
    }
    return !error && found == count;
}

// The number of connections the logged PUTs into the folder came on.
std::size_t connections(localservice::LocalService& service, const std::string& folder) {
    std::set<std::uint64_t> seen;
    for (const auto& request : service.requests().all()) {
        if (request.method == "PUT" && request.path.find("/" + folder + "/") != std::string::npos) {
            seen.insert(request.connection);
        }
    }
    return seen.size();
}

void BM_CopyTreeThroughMount(benchmark::State& state) {
    if (!canMount()) {
        state.SkipWithError("needs root and /dev/fuse to mount");
        return;
    }
    const int files = static_cast<int>(state.range(0));
    constexpr std::uintmax_t kFileBytes = 4096;

    auto root = std::filesystem::path("/tmp") / ("fptree-" + std::to_string(::getpid()) + "-" + std::to_string(files));
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / "home");
    const RemovedAtEnd removed{root};
    const auto source = root / "tree";
    std::filesystem::create_directories(source);
    for (int index = 0; index < files; ++index) {
        std::string bytes(kFileBytes, '\0');
        for (std::size_t at = 0; at < bytes.size(); ++at) bytes[at] = static_cast<char>((at * 131 + index * 7) >> 3);
        std::ofstream(source / ("f-" + std::to_string(index) + ".bin"), std::ios::binary) << bytes;
    }

    localservice::LocalService service(localservice::LocalService::Options{root / "service", 0, std::nullopt});
    service.addDrive({"bench", "Bench", "project", ""});
    SignedInExtension extension(service, "bench", root);
    const auto drive = service.driveDirectory("bench");

    const auto daemon = mountedDaemon(root, extension);
    if (!daemon) {
        state.SkipWithError("could not mount the domain");
        return;
    }
    auto* mount = daemon->mountFor("bench");
    const auto mountpoint = root / "home" / "Bench";

    const std::string connectTo = localservice::webAppHost() + ":443:127.0.0.1:" + std::to_string(service.port());
    // curl's PUTs of a round go to a folder of their own (made on the
    // service's disk), all in one run: one connection for every file.
    auto curlCommand = [&](const std::string& curlFolder) {
        std::filesystem::create_directories(drive / curlFolder);
        const auto config = root / (curlFolder + ".config");
        std::ofstream out(config);
        for (int index = 0; index < files; ++index) {
            const std::string name = "f-" + std::to_string(index) + ".bin";
            out << "upload-file = \"" << (source / name).string() << "\"\n"
                << "url = \"" << service.webDavUrl("bench") << "/" << curlFolder << "/" << name << "\"\n"
                << "output = \"/dev/null\"\n";
        }
        return "curl -sS --fail --http1.1 --cacert '" + service.caCertificateFile().string() + "' --connect-to '" +
               connectTo + "' -H 'Authorization: Bearer " + extension.issued.accessToken + "' -K '" +
               config.string() + "'";
    };

    // A small copy takes a fraction of a second, so one run says little:
    // each size is copied in several rounds (each into a new folder), and
    // the medians count.
    const int rounds = files <= 200 ? 7 : 3;
    for (auto _ : state) {
        std::vector<double> mountTimes, curlTimes;
        for (int round = 0; round < rounds; ++round) {
            const std::string tree = "tree-" + std::to_string(round);
            service.requests().clear();
            auto start = Steady::now();
            if (std::system(("cp -r '" + source.string() + "' '" + (mountpoint / tree).string() + "'").c_str()) != 0) {
                state.SkipWithError("cp -r into the mount failed");
                break;
            }
            std::promise<std::optional<fp::Error>> sent;
            mount->waitForChanges(fp::kRootContainer, [&](std::optional<fp::Error> error) { sent.set_value(error); });
            auto error = sent.get_future().get();
            // Sent means answered; the files are checked on the server's disk.
            const auto deadline = Steady::now() + std::chrono::minutes(2);
            while (!error && !holdsFiles(drive / tree, files, kFileBytes) && Steady::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            mountTimes.push_back(secondsSince(start));
            if (error || !holdsFiles(drive / tree, files, kFileBytes)) {
                state.SkipWithError("the files did not all arrive");
                break;
            }

            // What the mount asked of the server: the uploads, and the listings
            // of the folder (each a PROPFIND of depth 1 of all it holds).
            std::size_t puts = 0, listings = 0, otherPropfinds = 0;
            for (const auto& request : service.requests().all()) {
                if (request.method == "PUT") ++puts;
                if (request.method != "PROPFIND") continue;
                const std::string suffix = "/" + tree;
                const bool folderListing = request.header("Depth") == "1" && request.path.size() >= suffix.size() &&
                                           request.path.substr(request.path.size() - suffix.size()) == suffix;
                ++(folderListing ? listings : otherPropfinds);
            }

            const std::string curlFolder = "curl-" + tree;
            const std::string curl = curlCommand(curlFolder);
            service.requests().clear();
            start = Steady::now();
            if (std::system(curl.c_str()) != 0 || !holdsFiles(drive / curlFolder, files, kFileBytes)) {
                state.SkipWithError("curl's uploads failed");
                break;
            }
            curlTimes.push_back(secondsSince(start));
            std::cout << files << " files of 4 KiB, round " << round + 1 << ": cp -r into the mount until on the server "
                      << mountTimes.back() << " s, curl PUTs on one connection " << curlTimes.back() << " s; the mount's requests: "
                      << puts << " PUT, " << listings << " listings of the folder, " << otherPropfinds
                      << " other PROPFIND; curl's connections: " << connections(service, curlFolder) << "\n";
        }
        if (static_cast<int>(curlTimes.size()) != rounds) break;
        const double throughMount = median(mountTimes);
        const double plain = median(curlTimes);
        treeTimes()[files] = TreeTimes{throughMount, plain};
        state.counters["mount_seconds"] = throughMount;
        state.counters["curl_seconds"] = plain;
        state.counters["mount_vs_curl"] = throughMount / plain;
        std::cout << files << " files of 4 KiB, medians of " << rounds << " rounds: the mount " << throughMount
                  << " s, curl " << plain << " s, " << throughMount / plain << "x" << (files >= 2000 ? " (goal <= 3)" : "")
                  << "\n";
    }
    daemon->stop();
}

BENCHMARK(BM_CopyTreeThroughMount)->Arg(200)->Arg(2000)->Unit(benchmark::kSecond)->Iterations(1);

void reportTreeGrowth() {
    const auto& times = treeTimes();
    auto small = times.find(200);
    auto large = times.find(2000);
    if (small == times.end() || large == times.end()) return;
    std::cout << "cp -r, 200 -> 2,000 files (medians): the mount grows " << large->second.mount / small->second.mount
              << "x (goal <= 11), curl " << large->second.curl / small->second.curl << "x; mount over curl "
              << small->second.mount / small->second.curl << "x at 200, " << large->second.mount / large->second.curl
              << "x at 2,000 (goal <= 3)\n";
}

}  // namespace
}  // namespace nimbuscrate::benchmarks

int main(int argc, char** argv) {
    return nimbuscrate::benchmarks::runBenchmarksThenReport(argc, argv, nimbuscrate::benchmarks::reportTreeGrowth);
}
