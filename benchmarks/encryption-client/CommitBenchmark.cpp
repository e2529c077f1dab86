// Commits a large file (default 1 GiB; NIMBUSCRATE_BENCH_FILE_MIB sets the
// size in MiB) through the encryption client to the local service, in parts
// of 64 MiB, and in the same run PUTs the same bytes with the curl command
// line. Prints curl's time over the commit's (goal: at least 0.6) and the
// peak growth of the process's resident memory during the commit (goal:
// under 64 MiB whatever the file size). The service runs in this process,
// so its working memory counts too (not its request log, see Setup).

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "benchmarks/BenchmarkSupport.h"
#include "platform/http/DevelopmentRoute.h"
#include "shared/encryption-client/E2EEClient.h"
#include "shared/session/KeychainStore.h"
#include "shared/session/ServiceEndpoints.h"
#include "tests/support/E2EERecordBuilder.h"
#include "tools/localservice/AccountApi.h"
#include "tools/localservice/LocalService.h"
#include "tools/localservice/UploadApi.h"

namespace {

using namespace nimbuscrate;
namespace localservice = nimbuscrate::localservice;
using nimbuscrate::benchmarks::secondsSince;
using nimbuscrate::testing::E2EERecordBuilder;

constexpr std::uint64_t kPartSize = 64ull << 20;

std::uint64_t fileBytes() {
    const char* text = std::getenv("NIMBUSCRATE_BENCH_FILE_MIB");
    const std::uint64_t mib = text ? std::strtoull(text, nullptr, 10) : 1024;
    return std::max<std::uint64_t>(mib, 1) << 20;
}

std::filesystem::path temporaryDirectory(const char* stem) {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(stem) + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

// A line of /proc/self/status in KiB ("VmRSS", "VmHWM").
std::int64_t statusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::strtoll(line.c_str() + field.size() + 1, nullptr, 10);
    }
    return -1;
}

// Starts a new peak of the resident memory at its current size (Linux: "5"
// into clear_refs resets VmHWM).
bool resetPeak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

struct Setup {
    std::filesystem::path root = temporaryDirectory("nc-commit-benchmark");
    std::uint64_t bytes = fileBytes();
    std::filesystem::path source = root / "big.bin";
    std::unique_ptr<localservice::LocalService> service;
    KeychainStore store{KeychainStore::kSessionService, KeychainStore::kSessionAccount,
                        KeychainBackends::inDirectory(root / "secrets")};
    E2EERecordBuilder builder;
    std::unique_ptr<MappingStore> mapping;
    std::unique_ptr<E2EEClient> client;
    std::string token;

    Setup() {
        service = std::make_unique<localservice::LocalService>(localservice::LocalService::Options{root / "service", 0, std::nullopt});
        DevelopmentRoute::set(service->address(), service->caCertificateFile().string());
        service->addDrive({"bench", "Bench", "project", ""});
        service->uploads().setPartSize(kPartSize);
        E2EERecordBuilder::AccountSpec spec;
        spec.ownedDriveIds = {"bench"};
        spec.primaryDriveId = "bench";
        service->accountApi().setAccount(builder.accountRecord(spec).canonicalString());

        const auto issued = service->issueTokens();
        token = issued.accessToken;
        const DesktopSession session = DesktopSession::create(
            OAuthTokens{issued.accessToken, issued.refreshToken, Date::now().addingSeconds(3000)},
            DriveSelection{"bench", "Bench", *Url::parse(service->webDavUrl("bench"))});
        store.save(bytesOf(session.toJSON()));
        KeychainStore(E2EEClient::kKeysService, *session.sessionID, KeychainBackends::inDirectory(root / "secrets"))
            .save(builder.keysBytes());

        E2EEClient::Credentials credentials;
        credentials.session = [this] { return store.loadSession(); };
        // The in-process service keeps the first MiB of every request body in
        // its request log (1 MiB per part); nothing here reads the log, so it
        // is emptied at each request and the figure stays the client's (with
        // the service's working memory).
        credentials.token = [this](std::stop_token) {
            service->requests().clear();
            return token;
        };
        const std::filesystem::path secrets = root / "secrets";
        credentials.secret = [secrets](const std::string& service, const std::string& account)
            -> std::shared_ptr<E2EESecretStore> {
            return std::make_shared<KeychainStore>(service, account, KeychainBackends::inDirectory(secrets));
        };
        mapping = std::make_unique<MappingStore>(root / "mapping");
        client = std::make_unique<E2EEClient>(E2EEClient::Services{HttpTransport::shared(), credentials, *mapping,
                                                                   Clock::system(), accountAPIURL(), root / "state",
                                                                   1});
        writeSource();
    }
    ~Setup() {
        client.reset();
        service.reset();
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }

    // Writes the source and flushes it to storage before anything is
    // measured: a file just written leaves its pages dirty, and the kernel
    // would slow the commit's own writes down while it writes them back,
    // charging the set-up to the first commit (and not to curl, which runs
    // once they are clean).
    void writeSource() const {
        {
            std::ofstream out(source, std::ios::binary);
            std::string block(1 << 20, '\0');
            for (std::uint64_t written = 0; written < bytes; written += block.size()) {
                for (std::size_t i = 0; i < block.size(); i += 4096) block[i] = static_cast<char>(written >> 20 ^ i);
                out.write(block.data(), static_cast<std::streamsize>(block.size()));
            }
            if (!out.flush()) throw std::runtime_error("the source could not be written");
        }
        const int descriptor = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
        const bool flushed = descriptor >= 0 && ::fsync(descriptor) == 0;
        if (descriptor >= 0) ::close(descriptor);
        if (!flushed) throw std::runtime_error("the source could not be flushed");
    }

    // Removes what earlier rounds left in the service's drive.
    void clearDrive() const {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(service->driveDirectory("bench"), ignored)) {
            std::filesystem::remove_all(entry.path(), ignored);
        }
    }
};

Setup& setup() {
    static Setup instance;
    return instance;
}

std::vector<double> commitSeconds;
std::vector<double> curlSeconds;
std::vector<double> peakGrowthMiB;

void BM_CommitThroughClient(benchmark::State& state) {
    Setup& s = setup();
    int round = 0;
    for (auto _ : state) {
        s.clearDrive();
        const std::string name = "commit-" + std::to_string(++round) + "-" + std::to_string(commitSeconds.size()) + ".bin";
        const std::int64_t before = statusKiB("VmRSS");
        const bool peakReset = resetPeak();
        const auto start = std::chrono::steady_clock::now();
        try {
            const RemoteItem item = s.client->createEncryptedItem(name, RemoteItem::root(), false, s.source,
                                                                  Date::now(), {});
            if (item.size != static_cast<std::int64_t>(s.bytes)) state.SkipWithError("the committed size differs");
        } catch (const std::exception& error) {
            state.SkipWithError(error.what());
            break;
        }
        commitSeconds.push_back(secondsSince(start));
        if (peakReset) peakGrowthMiB.push_back(static_cast<double>(statusKiB("VmHWM") - before) / 1024.0);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.bytes));
}

void BM_CurlCommandLinePut(benchmark::State& state) {
    Setup& s = setup();
    const std::string connectTo = localservice::webAppHost() + ":443:127.0.0.1:" + std::to_string(s.service->port());
    int round = 0;
    for (auto _ : state) {
        s.clearDrive();
        const std::string command = "curl -sS --fail -o /dev/null -T '" + s.source.string() + "' --cacert '" +
                                    s.service->caCertificateFile().string() + "' --connect-to '" + connectTo +
                                    "' -H 'Authorization: Bearer " + s.token + "' '" + s.service->webDavUrl("bench") +
                                    "/curl-" + std::to_string(++round) + ".bin'";
        const auto start = std::chrono::steady_clock::now();
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("curl failed");
            break;
        }
        curlSeconds.push_back(secondsSince(start));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.bytes));
}

BENCHMARK(BM_CommitThroughClient)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_CurlCommandLinePut)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    return nimbuscrate::benchmarks::runBenchmarksThenReport(argc, argv, [] {
        const double commit = median(commitSeconds);
        const double curl = median(curlSeconds);
        if (commit > 0 && curl > 0) {
            std::printf("file %llu MiB: commit %.2f s, curl PUT %.2f s; curl/commit throughput ratio %.3f (goal: at "
                        "least 0.6)\n",
                        static_cast<unsigned long long>(setup().bytes >> 20), commit, curl, curl / commit);
        }
        if (!peakGrowthMiB.empty()) {
            std::printf("peak resident memory growth during the commit: %.1f MiB (goal: under 64)\n",
                        median(peakGrowthMiB));
        }
    });
}
