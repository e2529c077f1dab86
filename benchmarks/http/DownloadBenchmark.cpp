// Downloads a 256 MiB file from the local service into a file, once through
// the transport and once with the curl command line, in the same run, and
// prints the transport's throughput as a share of curl's (goal: 0.9 or more).

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include "benchmarks/BenchmarkSupport.h"
#include "platform/http/DevelopmentRoute.h"
#include "platform/http/HttpTransport.h"
#include "tools/localservice/LocalService.h"

namespace {

using nimbuscrate::HttpRequest;
using nimbuscrate::HttpTransport;
using nimbuscrate::Url;
using nimbuscrate::benchmarks::secondsSince;
namespace localservice = nimbuscrate::localservice;

constexpr std::size_t kFileBytes = 256u * 1024 * 1024;
const std::string kHost = NIMBUSCRATE_WEBAPP_HOST;

struct Setup {
    std::unique_ptr<localservice::LocalService> service;
    std::string url;
    std::string token;
    std::filesystem::path output;

    Setup() {
        service = std::make_unique<localservice::LocalService>(localservice::LocalService::Options{});
        service->addDrive({"bench", "Nimbuscrate", "project", ""});
        const auto file = service->driveDirectory("bench") / "big.bin";
        std::filesystem::create_directories(file.parent_path());
        {
            std::ofstream out(file, std::ios::binary);
            std::string block(1024 * 1024, '\0');
            for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 131) ^ (i >> 7));
            for (std::size_t written = 0; written < kFileBytes; written += block.size()) out.write(block.data(), block.size());
        }
        url = service->webDavUrl("bench") + "/big.bin";
        token = service->issueTokens().accessToken;
        nimbuscrate::DevelopmentRoute::set(service->address(), service->caCertificateFile().string());
        output = std::filesystem::temp_directory_path() / ("nc-download-benchmark-" + std::to_string(::getpid()));
    }
    ~Setup() {
        std::error_code ignored;
        std::filesystem::remove(output, ignored);
    }
};

Setup& setup() {
    static Setup instance;
    return instance;
}

double transportSeconds = 0;
double curlSeconds = 0;

void checkSize(benchmark::State& state, const std::filesystem::path& file) {
    std::error_code error;
    if (std::filesystem::file_size(file, error) != kFileBytes) state.SkipWithError("the download is incomplete");
}

void BM_TransportDownload(benchmark::State& state) {
    Setup& s = setup();
    HttpRequest request("GET", *Url::parse(s.url));
    request.headers.set("Authorization", "Bearer " + s.token);
    request.timeoutSeconds = 120;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const auto response = HttpTransport::shared().download(request, s.output);
        transportSeconds += secondsSince(start);
        if (response.status != 200) state.SkipWithError("the service did not answer 200");
        checkSize(state, s.output);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileBytes));
}

void BM_CurlCommandLineDownload(benchmark::State& state) {
    Setup& s = setup();
    const Url url = *Url::parse(s.url);
    const std::string command = "curl --silent --show-error --fail --http1.1 --output '" + s.output.string() +
                                "' --connect-to " + kHost + ":443:" + s.service->address() + " --cacert '" +
                                s.service->caCertificateFile().string() + "' -H 'Authorization: Bearer " + s.token +
                                "' '" + s.url + "'";
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const int status = std::system(command.c_str());
        curlSeconds += secondsSince(start);
        if (status != 0) state.SkipWithError("curl failed");
        checkSize(state, s.output);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileBytes));
}

BENCHMARK(BM_TransportDownload)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_CurlCommandLineDownload)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    return nimbuscrate::benchmarks::runBenchmarksThenReport(argc, argv, [] {
        if (transportSeconds > 0 && curlSeconds > 0) {
            // Same bytes and iterations on both sides: the time ratio is the throughput ratio.
            const double ratio = curlSeconds / transportSeconds;
            std::printf("transport/curl throughput ratio: %.3f (goal: at least 0.9)\n", ratio);
        }
    });
}
