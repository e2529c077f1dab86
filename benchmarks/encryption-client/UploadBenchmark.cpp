// A 256 MiB staged encrypted file uploaded through the encryption client's
// resumable upload (parts of 64 MiB: reservation, parts, completion) to the
// local service, and in the same run the same bytes PUT by the curl command
// line. Prints the upload's throughput as a share of curl's and the growth
// of the process's peak memory while uploading (goal: a small fraction of
// one part, however large the file).

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "benchmarks/BenchmarkSupport.h"
#include "platform/http/DevelopmentRoute.h"
#include "shared/encryption-client/E2EEClient.h"
#include "shared/encryption-client/E2EEUploadJournal.h"
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

constexpr std::int64_t kPlainBytes = 256ll * 1024 * 1024;
constexpr std::uint64_t kPartBytes = 64ull * 1024 * 1024;
const std::string kWebAppHost = NIMBUSCRATE_WEBAPP_HOST;

std::filesystem::path temporaryDirectory(const char* stem) {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(stem) + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

// The peak resident size of the process so far, in bytes (VmHWM).
std::int64_t peakResidentBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6)) * 1024;
    }
    return 0;
}

struct Setup {
    std::filesystem::path root = temporaryDirectory("nc-upload-benchmark");
    std::unique_ptr<localservice::LocalService> service;
    KeychainStore store{KeychainStore::kSessionService, KeychainStore::kSessionAccount,
                        KeychainBackends::inDirectory(root / "secrets")};
    E2EERecordBuilder builder;
    std::unique_ptr<MappingStore> mapping = MappingStore::unavailable();
    std::unique_ptr<E2EEClient> client;
    DriveSelection drive;
    std::string token;
    std::string sessionID;
    // Staged bytes of the ciphertext's length (the upload never opens them).
    std::filesystem::path staged = root / "staged.nbenc";
    std::int64_t stagedBytes = E2EECrypto::ciphertextLength(kPlainBytes);

    Setup() {
        service = std::make_unique<localservice::LocalService>(localservice::LocalService::Options{});
        DevelopmentRoute::set(service->address(), service->caCertificateFile().string());
        service->addDrive({"drive-1", "Nimbuscrate", "project", ""});
        service->uploads().setPartSize(kPartBytes);
        service->accountApi().setAccount(builder.accountRecord().canonicalString());
        drive = DriveSelection{"drive-1", "Nimbuscrate", *Url::parse(service->webDavUrl("drive-1"))};

        const auto issued = service->issueTokens();
        token = issued.accessToken;
        const DesktopSession session = DesktopSession::create(
            OAuthTokens{issued.accessToken, issued.refreshToken, Date::now().addingSeconds(3000)}, drive);
        sessionID = *session.sessionID;
        store.save(bytesOf(session.toJSON()));
        KeychainStore(E2EEClient::kKeysService, sessionID, KeychainBackends::inDirectory(root / "secrets"))
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
                                                                   1});
        std::ofstream out(staged, std::ios::binary);
        std::string block(1024 * 1024, '\0');
        for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 131) ^ (i >> 7));
        for (std::int64_t written = 0; written < stagedBytes;) {
            const auto piece = static_cast<std::streamsize>(std::min<std::int64_t>(block.size(), stagedBytes - written));
            out.write(block.data(), piece);
            written += piece;
        }
    }
    ~Setup() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
};

Setup& setup() {
    static Setup instance;
    return instance;
}

double uploadSeconds = 0;
double curlSeconds = 0;
std::int64_t peakGrowth = 0;
int uploads = 0;

void BM_ResumableUpload(benchmark::State& state) {
    Setup& s = setup();
    const std::int64_t peakBefore = peakResidentBytes();
    for (auto _ : state) {
        // Each round a new revision in a journal of its own, its staged file
        // in the journal's folder as the commit leaves it.
        state.PauseTiming();
        const E2EECrypto::Prepared prepared = E2EECrypto::prepareFile(
            s.builder.keys(), "big.bin", kPlainBytes, "application/octet-stream", 0, E2EEJSON("root"), std::nullopt,
            nullptr);
        E2EEUploadJournal journal(E2EEUploadJournal::pendingRoot(s.root / "state"),
                                  E2EEJSON::object({{"round", ++uploads}, {"session", s.sessionID}}));
        journal.state.setMember(E2EEJSON::object({{"manifest", prepared.manifest}}), "main");
        journal.save();
        const std::filesystem::path file = journal.directory / E2EEUploadJournal::kMainFileName;
        std::filesystem::create_hard_link(s.staged, file);
        state.ResumeTiming();

        const auto start = std::chrono::steady_clock::now();
        try {
            s.client->uploadEncryptedFile(prepared, file, s.drive, journal, "main");
        } catch (const std::exception& error) {
            state.SkipWithError(error.what());
            break;
        }
        uploadSeconds += secondsSince(start);

        state.PauseTiming();
        std::filesystem::remove(file);
        std::filesystem::remove(s.service->driveDirectory("drive-1") / prepared.opaqueName);
        state.ResumeTiming();
    }
    peakGrowth = std::max(peakGrowth, peakResidentBytes() - peakBefore);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * s.stagedBytes);
}

void BM_CurlCommandLinePut(benchmark::State& state) {
    Setup& s = setup();
    const std::string url = s.service->webDavUrl("drive-1") + "/curl-upload.bin";
    const std::string command = "curl --silent --show-error --fail --http1.1 --output /dev/null -T '" +
                                s.staged.string() + "' --connect-to " + kWebAppHost + ":443:" +
                                s.service->address() + " --cacert '" + s.service->caCertificateFile().string() +
                                "' -H 'Authorization: Bearer " + s.token + "' '" + url + "'";
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const int status = std::system(command.c_str());
        curlSeconds += secondsSince(start);
        if (status != 0) state.SkipWithError("curl failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * s.stagedBytes);
}

BENCHMARK(BM_ResumableUpload)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_CurlCommandLinePut)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    return nimbuscrate::benchmarks::runBenchmarksThenReport(argc, argv, [] {
        if (uploadSeconds > 0 && curlSeconds > 0) {
            // Same bytes and iterations on both sides: the time ratio is the throughput ratio.
            std::printf("resumable upload/curl PUT throughput ratio: %.3f\n", curlSeconds / uploadSeconds);
        }
        std::printf("peak memory growth while uploading: %.1f MiB (part size %.0f MiB)\n",
                    static_cast<double>(peakGrowth) / (1024.0 * 1024.0), static_cast<double>(kPartBytes) / (1024.0 * 1024.0));
    });
}
