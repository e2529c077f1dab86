// Reads a large file and lists a large folder through a domain mounted with
// the project's own extension, against the same transfers without the host:
// - first read through the mount (downloads from the local service) vs the
//   curl command line downloading the same file: goal at least 0.8;
// - second read (cached) vs reading the cached file directly: goal at least 0.7;
// - `ls -l` of a 10,000-entry folder, cold (never listed before), vs curl's
//   bare PROPFIND of it: the ratio of their times, goal at most 2.
// Needs root and /dev/fuse (the mount); skipped otherwise.
// NIMBUSCRATE_BENCH_FILE_MIB sets the file size (default 1024).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iostream>
#include <vector>

#include "benchmarks/BenchmarkSupport.h"
#include "benchmarks/fileprovider-host/MountBenchmarkSupport.h"

namespace nimbuscrate::benchmarks {
namespace {

using Clock = std::chrono::steady_clock;

// Reads the whole file; returns the seconds it took and checks the size.
double timeRead(const std::filesystem::path& path, std::uint64_t expected) {
    std::vector<char> buffer(1 << 20);
    auto start = Clock::now();
    int descriptor = ::open(path.c_str(), O_RDONLY);
    if (descriptor < 0) throw std::runtime_error("cannot open " + path.string());
    std::uint64_t total = 0;
    for (;;) {
        ssize_t n = ::read(descriptor, buffer.data(), buffer.size());
        if (n < 0) {
            ::close(descriptor);
            throw std::runtime_error("read failed on " + path.string());
        }
        if (n == 0) break;
        total += static_cast<std::uint64_t>(n);
    }
    ::close(descriptor);
    double elapsed = secondsSince(start);
    if (total != expected) throw std::runtime_error("read " + std::to_string(total) + " bytes of " + path.string());
    return elapsed;
}

double timeCommand(const std::string& command) {
    auto start = Clock::now();
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
    return secondsSince(start);
}

void BM_MountedDomain(benchmark::State& state) {
    if (!canMount()) {
        state.SkipWithError("needs root and /dev/fuse to mount");
        return;
    }
    const std::uint64_t mib = benchmarkFileMiB();
    const std::uint64_t bytes = mib << 20;
    const int entries = 10'000;

    auto root = std::filesystem::temp_directory_path() / ("fp-bench-" + std::to_string(::getpid()));
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / "home");
    const RemovedAtEnd removed{root};

    localservice::LocalService::Options serviceOptions;
    serviceOptions.dataDirectory = root / "service";
    localservice::LocalService service(serviceOptions);
    service.addDrive({"bench", "Bench", std::string("project"), ""});
    auto drive = service.driveDirectory("bench");
    writeBigFile(drive / "big.bin", bytes);
    std::filesystem::create_directories(drive / "many");
    for (int i = 0; i < entries; ++i) std::ofstream(drive / "many" / ("file-" + std::to_string(i) + ".txt")) << i;

    SignedInExtension extension(service, "bench", root);
    const std::string connectTo = localservice::webAppHost() + ":443:" + service.address();
    const std::string curlCommon = "curl -sS --fail --http1.1 --cacert '" + service.caCertificateFile().string() +
                                   "' --connect-to '" + connectTo + "' -H 'Authorization: Bearer " +
                                   extension.issued.accessToken + "' ";
    auto propfindBody = root / "propfind.xml";
    std::ofstream(propfindBody, std::ios::binary) << stringOf(OcisClient::propfindBody());

    const auto daemon = mountedDaemon(root, extension);
    if (!daemon) {
        state.SkipWithError("could not mount the domain");
        return;
    }
    auto mountpoint = root / "home" / "Bench";

    for (auto _ : state) {
        double propfind = timeCommand(curlCommon + "-o /dev/null -X PROPFIND -H 'Depth: 1' -H 'Content-Type: "
                                                   "application/xml; charset=utf-8' --data-binary @'" +
                                      propfindBody.string() + "' '" + service.webDavUrl("bench") + "/many'");
        double list = timeCommand("ls -l '" + (mountpoint / "many").string() + "' > /dev/null");
        // Again, from the replica: what the kernel and the host's answers
        // take without the listing.
        double listedList = timeCommand("ls -l '" + (mountpoint / "many").string() + "' > /dev/null");

        double firstRead = timeRead(mountpoint / "big.bin", bytes);
        double cachedRead = timeRead(mountpoint / "big.bin", bytes);
        struct stat attributes{};
        ::stat((mountpoint / "big.bin").c_str(), &attributes);
        auto cached = root / "data" / "domains" / "bench" / "cache" / std::to_string(attributes.st_ino);
        double directRead = timeRead(cached, bytes);
        auto curlTarget = root / "curl.bin";
        double curl = timeCommand(curlCommon + "-o '" + curlTarget.string() + "' '" + service.webDavUrl("bench") +
                                  "/big.bin'");
        std::filesystem::remove(curlTarget);

        state.counters["first_read_vs_curl"] = curl / firstRead;
        state.counters["cached_read_vs_direct"] = directRead / cachedRead;
        state.counters["ls_vs_propfind"] = list / propfind;
        std::cout << "file " << mib << " MiB: first read " << firstRead << " s, curl " << curl << " s, ratio "
                  << curl / firstRead << " (goal >= 0.8)\n"
                  << "cached read " << cachedRead << " s, direct read " << directRead << " s, ratio "
                  << directRead / cachedRead << " (goal >= 0.7)\n"
                  << "cold ls -l of " << entries << " entries " << list << " s, bare PROPFIND " << propfind
                  << " s, ratio " << list / propfind << " (goal <= 2); listed before: " << listedList << " s\n";
    }
    daemon->stop();
}

BENCHMARK(BM_MountedDomain)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace nimbuscrate::benchmarks

BENCHMARK_MAIN();
