// A forced refresh of an encrypted library of 20,000 records (10,000 nodes,
// 10,000 files, pages of 100) through the encryption client against the
// local service, and in the same run the same page requests sent by the curl
// command line and the snapshot build of the same records on as many threads
// as the client uses. Prints the refresh time against the sum of the two
// (goal: at most 1.2).

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "benchmarks/BenchmarkSupport.h"
#include "platform/http/DevelopmentRoute.h"
#include "shared/encryption-client/E2EEClient.h"
#include "shared/encryption/E2EELibrary.h"
#include "shared/session/KeychainStore.h"
#include "shared/session/ServiceEndpoints.h"
#include "tests/support/E2EERecordBuilder.h"
#include "tools/localservice/AccountApi.h"
#include "tools/localservice/LocalService.h"

namespace {

using namespace nimbuscrate;
namespace localservice = nimbuscrate::localservice;
using nimbuscrate::benchmarks::secondsSince;
using nimbuscrate::testing::E2EERecordBuilder;

constexpr int kFolders = 1'000;
constexpr int kFiles = 10'000;
constexpr int kFilesWithListedNode = 9'000;  // 1,000 folders + 9,000 file nodes = 10,000 nodes

std::filesystem::path temporaryDirectory(const char* stem) {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(stem) + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

std::size_t snapshotThreads() { return std::max(1u, std::thread::hardware_concurrency()); }

struct Setup {
    std::filesystem::path root = temporaryDirectory("nc-refresh-benchmark");
    std::unique_ptr<localservice::LocalService> service;
    KeychainStore store{KeychainStore::kSessionService, KeychainStore::kSessionAccount,
                        KeychainBackends::inDirectory(root / "secrets")};
    E2EERecordBuilder builder;
    E2EEJSON account;
    std::unique_ptr<MappingStore> mapping = MappingStore::unavailable();
    std::unique_ptr<E2EEClient> client;
    std::string token;
    // The records as the listings serve them, and the page URLs in order.
    std::vector<E2EEJSON> files;
    std::vector<E2EEJSON> nodes;
    std::vector<std::string> pageURLs;

    Setup() {
        service = std::make_unique<localservice::LocalService>(localservice::LocalService::Options{});
        DevelopmentRoute::set(service->address(), service->caCertificateFile().string());
        E2EERecordBuilder::AccountSpec spec;
        spec.mode = "required";
        account = builder.accountRecord(spec);
        service->accountApi().setAccount(account.canonicalString());
        seedLibrary();

        const auto issued = service->issueTokens();
        token = issued.accessToken;
        const DesktopSession session = DesktopSession::create(
            OAuthTokens{issued.accessToken, issued.refreshToken, Date::now().addingSeconds(3000)});
        store.save(bytesOf(session.toJSON()));
        KeychainStore(E2EEClient::kKeysService, *session.sessionID, KeychainBackends::inDirectory(root / "secrets"))
            .save(builder.keysBytes());

        E2EEClient::Credentials credentials;
        credentials.session = [this] { return store.loadSession(); };
        credentials.token = [this](std::stop_token) { return token; };
        const std::filesystem::path secrets = root / "secrets";
        credentials.secret = [secrets](const std::string& service, const std::string& account)
            -> std::shared_ptr<E2EESecretStore> {
            return std::make_shared<KeychainStore>(service, account, KeychainBackends::inDirectory(secrets));
        };
        client = std::make_unique<E2EEClient>(E2EEClient::Services{HttpTransport::shared(), credentials, *mapping,
                                                                   Clock::system(), accountAPIURL(), root / "state",
                                                                   snapshotThreads()});
        collectPages("files", files);
        collectPages("nodes", nodes);
    }
    ~Setup() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }

    // 1,000 folders in ten top-level trees, 10,000 files below them, 9,000
    // of which carry a node record that the node listing holds too.
    void seedLibrary() {
        localservice::AccountApi& api = service->accountApi();
        api.setPageSize(100);
        for (int i = 0; i < kFolders; ++i) {
            E2EERecordBuilder::NodeSpec folder;
            folder.nodeId = "d" + std::to_string(i);
            folder.parentId = i < 10 ? "root" : "d" + std::to_string(i % 10);
            folder.name = "Folder " + std::to_string(i);
            api.putNode(builder.nodeRecord(folder).canonicalString());
        }
        for (int i = 0; i < kFiles; ++i) {
            E2EERecordBuilder::FileSpec spec;
            spec.nodeId = "f" + std::to_string(i);
            spec.parentId = "d" + std::to_string(i % kFolders);
            spec.revisionId = "r" + std::to_string(i);
            spec.name = "File " + std::to_string(i) + ".txt";
            if (i >= kFilesWithListedNode) spec.embeddedGeneration.reset();
            const E2EEJSON record = builder.fileRecord(spec);
            api.putFile(record.canonicalString());
            if (i < kFilesWithListedNode) {
                api.putNode(record.member("manifest").member("value").member("node").canonicalString());
            }
        }
    }

    // Walks one listing through the client's request core, keeping its
    // records and the URL of every page.
    void collectPages(const std::string& collection, std::vector<E2EEJSON>& records) {
        std::string cursor;
        for (;;) {
            const std::string path = "e2ee/" + collection + "?after=" + E2EEClient::encodedCursor(cursor);
            pageURLs.push_back(client->requestURL(path).string());
            const E2EEJSON page = client->requestJSON(path, "GET", std::nullopt);
            for (const E2EEJSON& item : *page.member("items").arrayValue()) records.push_back(item);
            cursor = *page.member("next").stringValue();
            if (cursor.empty()) return;
        }
    }
};

Setup& setup() {
    static Setup instance;
    return instance;
}

double refreshSeconds = 0;
int refreshRuns = 0;
double curlSeconds = 0;
int curlRuns = 0;
double snapshotSeconds = 0;
int snapshotRuns = 0;

void BM_ForcedRefresh(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        s.client->refreshSnapshot(true);
        refreshSeconds += secondsSince(start);
        ++refreshRuns;
    }
    state.counters["records"] = benchmark::Counter(static_cast<double>(s.files.size() + s.nodes.size()));
    state.counters["pages"] = benchmark::Counter(static_cast<double>(s.pageURLs.size()));
}

// The same page requests (with the token, the headers and one connection
// kept open, as the client does) by one curl process.
void BM_CurlCommandLinePages(benchmark::State& state) {
    Setup& s = setup();
    const std::filesystem::path config = s.root / "pages.curl";
    {
        std::ofstream out(config);
        for (const std::string& url : s.pageURLs) out << "url = \"" << url << "\"\noutput = \"/dev/null\"\n";
    }
    const std::string host = NIMBUSCRATE_ACCOUNT_API_HOST;
    const std::string command = "curl --silent --show-error --fail --http1.1 --connect-to " + host + ":443:" +
                                s.service->address() + " --cacert '" + s.service->caCertificateFile().string() +
                                "' -H 'Authorization: Bearer " + s.token +
                                "' -H 'Accept: application/json' -H 'User-Agent: Nimbuscrate-macOS/1.1' -K '" +
                                config.string() + "'";
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const int status = std::system(command.c_str());
        curlSeconds += secondsSince(start);
        ++curlRuns;
        if (status != 0) state.SkipWithError("curl failed");
    }
}

void BM_SnapshotOfTheSameRecords(benchmark::State& state) {
    Setup& s = setup();
    std::size_t items = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const auto snapshot = E2EELibrary::snapshot(s.builder.keys(), s.files, s.nodes, s.account, snapshotThreads());
        snapshotSeconds += secondsSince(start);
        ++snapshotRuns;
        items = snapshot.items.size();
        benchmark::DoNotOptimize(items);
    }
    state.counters["items"] = benchmark::Counter(static_cast<double>(items));
    state.counters["threads"] = benchmark::Counter(static_cast<double>(snapshotThreads()));
}

BENCHMARK(BM_ForcedRefresh)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_CurlCommandLinePages)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_SnapshotOfTheSameRecords)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    return nimbuscrate::benchmarks::runBenchmarksThenReport(argc, argv, [] {
        if (refreshRuns == 0 || curlRuns == 0 || snapshotRuns == 0) return;
        const double refresh = refreshSeconds / refreshRuns;
        const double curl = curlSeconds / curlRuns;
        const double snapshot = snapshotSeconds / snapshotRuns;
        std::printf(
            "forced refresh: %.3f s; curl page requests: %.3f s; snapshot: %.3f s on %zu threads\n"
            "refresh / (curl + snapshot): %.3f (goal: at most 1.2)\n",
            refresh, curl, snapshot, snapshotThreads(), refresh / (curl + snapshot));
    });
}
