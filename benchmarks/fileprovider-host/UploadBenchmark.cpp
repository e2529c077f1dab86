// Copies a large file into a mounted domain served by the real extension and
// waits until it is uploaded; in the same run uploads the same file with the
// curl command line (PUT) to the local service. Prints curl's time over the
// mount's: goal at least 0.7.
// Needs root and /dev/fuse (the mount); skipped otherwise.
// NIMBUSCRATE_BENCH_FILE_MIB sets the file size (default 1024).
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iostream>
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
    auto source = root / "big.bin";
    writeBigFile(source, bytes);

    localservice::LocalService service(localservice::LocalService::Options{root / "service", 0, std::nullopt});
    service.addDrive({"bench", "Bench", "project", ""});
    SignedInExtension extension(service, "bench", root);

    fp::host::HostDaemon::Options options;
    options.home = root / "home";
    options.runtimeDirectory = root / "run";
    options.dataDirectory = root / "data";
    options.factory = extension.factory();
    fp::host::HostDaemon daemon(options);
    daemon.start();
    if (!addDomain(daemon, "bench", "Bench")) {
        state.SkipWithError("could not mount the domain");
        return;
    }
    auto* mount = daemon.mountFor("bench");
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
    daemon.stop();
    std::filesystem::remove_all(root);
}

BENCHMARK(BM_UploadThroughMount)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
}  // namespace nimbuscrate::benchmarks

BENCHMARK_MAIN();
