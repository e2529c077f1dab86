// The first-frame preview of a 1080p H.264 MP4 whose index (moov) comes
// after its media data, encrypted on the local service and read through the
// preview reader (ranged reads of the blob, one reader a preview, as a
// thumbnail job makes it), next to the ffmpeg command line taking the first
// frame of the plaintext file to a JPEG of the same size in the same run.
//
// Prints the preview's speed as a share of the command line's (goal: 0.5 or
// more) and the bytes the reader fetched against the bytes ffmpeg read from
// the file (goal: at most 1.5). The reader's bytes are the Range requests
// the local service answered for the blob (cross-checked with the reader's
// own count); ffmpeg's are the results of its read and pread64 calls on the
// file's descriptor, traced once with strace outside the timed runs.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>

#include "benchmarks/BenchmarkSupport.h"
#include "platform/http/DevelopmentRoute.h"
#include "shared/encryption-client/E2EEClient.h"
#include "shared/encryption-client/E2EEPreviewReader.h"
#include "shared/encryption-client/E2EEThumbnail.h"
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

const std::string kWebAppHost = NIMBUSCRATE_WEBAPP_HOST;

std::filesystem::path temporaryDirectory(const char* stem) {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(stem) + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

std::string quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The bytes of the Range requests the local service answered for the blob
// since its log was last cleared ("bytes=FIRST-LAST", both inclusive).
std::int64_t rangeBytesServed(localservice::LocalService& service, const std::string& blobPath) {
    std::int64_t total = 0;
    for (const auto& request : service.requests().all()) {
        if (request.host != kWebAppHost || request.path != blobPath) continue;
        std::int64_t first = 0;
        std::int64_t last = -1;
        if (std::sscanf(request.header("Range").c_str(), "bytes=%ld-%ld", &first, &last) == 2) {
            total += last - first + 1;
        }
    }
    return total;
}

struct Setup {
    std::filesystem::path root = temporaryDirectory("nc-video-preview-benchmark");
    std::filesystem::path movie = root / "plain.mp4";
    std::filesystem::path output = root / "frame.jpg";
    std::unique_ptr<localservice::LocalService> service;
    KeychainStore store{KeychainStore::kSessionService, KeychainStore::kSessionAccount,
                        KeychainBackends::inDirectory(root / "secrets")};
    E2EERecordBuilder builder;
    std::unique_ptr<MappingStore> mapping = MappingStore::unavailable();
    std::unique_ptr<E2EEClient> client;
    std::string sessionID;
    E2EEJSON record;
    E2EECrypto::File file;
    std::int64_t size = 0;
    std::string blobPath;

    Setup() {
        // Five seconds of 1920 × 1080 at 30 frames a second, H.264 with the
        // encoder's defaults; the MP4 muxer writes its index at the end.
        const std::string make = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=30:duration=5 "
                                 "-c:v libx264 -pix_fmt yuv420p " + quoted(movie);
        if (std::system(make.c_str()) != 0) throw std::runtime_error("could not make the movie");
        const std::string plaintext = readFile(movie);
        size = static_cast<std::int64_t>(plaintext.size());
        const std::size_t moov = plaintext.find("moov");
        const std::size_t mdat = plaintext.find("mdat");
        if (moov == std::string::npos || mdat == std::string::npos || moov < mdat) {
            throw std::runtime_error("the movie's index is not at its end");
        }

        service = std::make_unique<localservice::LocalService>(localservice::LocalService::Options{});
        DevelopmentRoute::set(service->address(), service->caCertificateFile().string());
        service->addDrive({"drive-1", "Nimbuscrate", "project", ""});
        E2EERecordBuilder::AccountSpec spec;
        spec.ownedDriveIds = {"drive-1"};
        service->accountApi().setAccount(builder.accountRecord(spec).canonicalString());

        const auto issued = service->issueTokens();
        const DesktopSession session = DesktopSession::create(
            OAuthTokens{issued.accessToken, issued.refreshToken, Date::now().addingSeconds(3000)});
        sessionID = *session.sessionID;
        store.save(bytesOf(session.toJSON()));
        KeychainStore(E2EEClient::kKeysService, sessionID, KeychainBackends::inDirectory(root / "secrets"))
            .save(builder.keysBytes());
        E2EEClient::Credentials credentials;
        credentials.session = [this] { return store.loadSession(); };
        const std::string token = issued.accessToken;
        credentials.token = [token](std::stop_token) { return token; };
        const std::filesystem::path secrets = root / "secrets";
        credentials.secret = [secrets](const std::string& service, const std::string& account)
            -> std::shared_ptr<E2EESecretStore> {
            return std::make_shared<KeychainStore>(service, account, KeychainBackends::inDirectory(secrets));
        };
        client = std::make_unique<E2EEClient>(E2EEClient::Services{HttpTransport::shared(), credentials, *mapping,
                                                                   Clock::system(), accountAPIURL(), root / "state", 1});

        // The movie as an upload leaves it: its record listed, its blob sealed.
        E2EERecordBuilder::FileSpec fileSpec;
        fileSpec.nodeId = "movie";
        fileSpec.name = "movie.mp4";
        fileSpec.revisionId = "rev-movie";
        fileSpec.size = size;
        fileSpec.mime = "video/mp4";
        fileSpec.embeddedGeneration.reset();
        record = builder.fileRecord(fileSpec);
        service->accountApi().putFile(record.canonicalString());
        file = E2EECrypto::openFile(builder.keys(), record.member("manifest"));
        const std::string opaqueName = *record.member("opaqueName").stringValue();
        E2EECrypto::transformFile(movie, service->driveDirectory("drive-1") / opaqueName, file, /*encrypt=*/true);
        blobPath = "/dav/spaces/drive-1/" + opaqueName;
        client->loadAccount();
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

double previewSeconds = 0;
double commandLineSeconds = 0;
std::int64_t readerBytes = -1;   // what one preview's reader fetched
std::int64_t servedBytes = -1;   // what the service's log says it served for one preview
std::int64_t ffmpegBytes = -1;   // what one ffmpeg run read from the file

void BM_EncryptedFirstFramePreview(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) {
        s.service->requests().clear();
        const auto start = std::chrono::steady_clock::now();
        E2EEPreviewReader reader(s.file, E2EEPreviewReader::kThumbnailBudget,
                                 s.client->encryptedRangeFetch(s.client->blobURL(s.record), s.file, s.sessionID));
        const auto preview = E2EEThumbnail::makePreview(reader, s.size, "video/mp4");
        previewSeconds += secondsSince(start);
        readerBytes = reader.transferred();
        servedBytes = rangeBytesServed(*s.service, s.blobPath);
        if (!preview || preview->width != 512 || preview->height != 288) state.SkipWithError("no 512 × 288 preview");
    }
    state.counters["fetched"] = benchmark::Counter(static_cast<double>(readerBytes));
}

// The command line's nearest equivalent: the first frame, scaled to the
// preview's size, to a JPEG.
std::string commandLine(const Setup& s) {
    return "ffmpeg -nostdin -v error -y -i " + quoted(s.movie) + " -frames:v 1 -vf scale=512:288 -f image2 " +
           quoted(s.output);
}

// Runs the command line once under strace (one trace file a thread, so no
// call is split across lines) and sums what its read and pread64 calls on
// the movie's descriptor returned.
std::int64_t bytesReadByCommandLine(const Setup& s) {
    const std::filesystem::path traces = s.root / "trace";
    std::filesystem::create_directories(traces);
    const std::string command = "strace -f -ff -y -qq -e trace=read,pread64 -o " + quoted(traces / "t") + " " +
                                commandLine(s);
    if (std::system(command.c_str()) != 0) return -1;
    // With -y a call on the movie reads "read(3</path/plain.mp4>, ..., 32768) = 32768".
    const std::string descriptor = "<" + s.movie.string() + ">,";
    const std::regex call(R"(^(read|pread64)\(\d+<.*\) += (\d+)$)");
    std::int64_t total = 0;
    for (const auto& entry : std::filesystem::directory_iterator(traces)) {
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);) {
            std::smatch match;
            if (line.find(descriptor) != std::string::npos && std::regex_match(line, match, call)) {
                total += std::stoll(match[2]);
            }
        }
    }
    return total;
}

void BM_FfmpegCommandLineFirstFrame(benchmark::State& state) {
    Setup& s = setup();
    const std::string command = commandLine(s);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const int status = std::system(command.c_str());
        commandLineSeconds += secondsSince(start);
        if (status != 0) state.SkipWithError("ffmpeg failed");
    }
    ffmpegBytes = bytesReadByCommandLine(s);
    state.counters["read"] = benchmark::Counter(static_cast<double>(ffmpegBytes));
}

BENCHMARK(BM_EncryptedFirstFramePreview)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
BENCHMARK(BM_FfmpegCommandLineFirstFrame)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    return nimbuscrate::benchmarks::runBenchmarksThenReport(argc, argv, [] {
        if (previewSeconds > 0 && commandLineSeconds > 0) {
            // The same number of previews on both sides: the time ratio is the speed ratio.
            std::printf("encrypted preview/ffmpeg speed ratio: %.3f (goal: at least 0.5)\n",
                        commandLineSeconds / previewSeconds);
        }
        if (readerBytes >= 0 && ffmpegBytes > 0) {
            std::printf("bytes fetched by the reader: %ld (served by the service: %ld); read by ffmpeg: %ld\n"
                        "fetched/read bytes ratio: %.3f (goal: at most 1.5)\n",
                        static_cast<long>(readerBytes), static_cast<long>(servedBytes), static_cast<long>(ffmpegBytes),
                        static_cast<double>(readerBytes) / static_cast<double>(ffmpegBytes));
        } else if (ffmpegBytes <= 0) {
            std::printf("the bytes ffmpeg reads were not counted (strace missing or failed)\n");
        }
    });
}
