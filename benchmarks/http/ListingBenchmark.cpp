// Lists a folder of 10,000 entries from the local service through the
// file-server client (PROPFIND, streamed parse, rows) and, in the same run,
// fetches the same PROPFIND with the curl command line; prints rows per
// second and the listing's time as a multiple of the bare transfer (goal: 2
// or less).

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "benchmarks/BenchmarkSupport.h"
#include "platform/http/DevelopmentRoute.h"
#include "shared/session/OcisClient.h"
#include "tools/localservice/LocalService.h"

namespace {

using namespace nimbuscrate;
namespace localservice = nimbuscrate::localservice;
using nimbuscrate::benchmarks::secondsSince;

constexpr int kEntries = 10'000;

std::filesystem::path temporaryDirectory(const char* stem) {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(stem) + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

struct Setup {
    std::unique_ptr<localservice::LocalService> service;
    std::filesystem::path secrets = temporaryDirectory("nc-listing-benchmark");
    KeychainStore store{KeychainStore::kSessionService, KeychainStore::kSessionAccount,
                        KeychainBackends::inDirectory(secrets)};
    std::unique_ptr<OAuthClient> oauth;
    std::unique_ptr<TokenProvider> tokens;
    std::unique_ptr<OcisClient> client;
    std::string token;
    std::filesystem::path bodyFile = secrets / "propfind.xml";

    Setup() {
        service = std::make_unique<localservice::LocalService>(localservice::LocalService::Options{});
        service->addDrive({"bench", "Nimbuscrate", "project", ""});
        const auto folder = service->driveDirectory("bench") / "Big";
        std::filesystem::create_directories(folder);
        for (int i = 0; i < kEntries; ++i) std::ofstream(folder / ("file-" + std::to_string(i) + ".txt")) << i;
        DevelopmentRoute::set(service->address(), service->caCertificateFile().string());

        const auto issued = service->issueTokens();
        token = issued.accessToken;
        const DesktopSession session = DesktopSession::create(
            OAuthTokens{issued.accessToken, issued.refreshToken, Date::now().addingSeconds(3000)},
            DriveSelection{"bench", "Nimbuscrate", *Url::parse(service->webDavUrl("bench"))});
        store.save(bytesOf(session.toJSON()));
        oauth = std::make_unique<OAuthClient>(HttpTransport::shared(), store);
        tokens = std::make_unique<TokenProvider>(store, *oauth);
        client = std::make_unique<OcisClient>(store, *tokens);
        std::ofstream(bodyFile, std::ios::binary) << stringOf(OcisClient::propfindBody());
    }
    ~Setup() {
        std::error_code ignored;
        std::filesystem::remove_all(secrets, ignored);
    }
};

Setup& setup() {
    static Setup instance;
    return instance;
}

RemoteItem bigFolder() {
    RemoteItem folder;
    folder.id = "big";
    folder.parentID = "root";
    folder.path = "/Big";
    folder.name = "Big";
    folder.isDirectory = true;
    return folder;
}

double listingSeconds = 0;
double curlSeconds = 0;
std::int64_t listedRows = 0;

void BM_ListFolder(benchmark::State& state) {
    Setup& s = setup();
    const RemoteItem folder = bigFolder();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const auto rows = s.client->fetchChildren(folder);
        listingSeconds += secondsSince(start);
        listedRows += static_cast<std::int64_t>(rows.size());
        if (rows.size() != kEntries) state.SkipWithError("the listing is incomplete");
    }
    state.counters["rows_per_second"] = benchmark::Counter(static_cast<double>(state.iterations() * kEntries),
                                                           benchmark::Counter::kIsRate);
}

void BM_CurlCommandLinePropfind(benchmark::State& state) {
    Setup& s = setup();
    const std::string url = s.service->webDavUrl("bench") + "/Big";
    const std::string command = "curl --silent --show-error --fail --http1.1 --output /dev/null -X PROPFIND"
                                " --connect-to " NIMBUSCRATE_WEBAPP_HOST ":443:" + s.service->address() +
                                " --cacert '" + s.service->caCertificateFile().string() +
                                "' -H 'Depth: 1' -H 'Content-Type: application/xml; charset=utf-8'"
                                " -H 'Authorization: Bearer " + s.token + "' --data-binary @'" + s.bodyFile.string() +
                                "' '" + url + "'";
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const int status = std::system(command.c_str());
        curlSeconds += secondsSince(start);
        if (status != 0) state.SkipWithError("curl failed");
    }
}

BENCHMARK(BM_ListFolder)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_CurlCommandLinePropfind)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    return nimbuscrate::benchmarks::runBenchmarksThenReport(argc, argv, [] {
        if (listingSeconds > 0 && curlSeconds > 0) {
            std::printf("listing/curl time ratio: %.3f (goal: at most 2); rows per second: %.0f\n",
                        listingSeconds / curlSeconds, static_cast<double>(listedRows) / listingSeconds);
        }
    });
}
