// The 512-pixel preview of a 24-megapixel JPEG through makeLocalPreview,
// next to the vipsthumbnail command line making the same preview (512-pixel
// box, JPEG quality 75) of the same file in the same run, and prints the
// preview's speed as a share of the command line's (goal: 0.8 or more).

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "benchmarks/BenchmarkSupport.h"
#include "shared/encryption-client/E2EEThumbnail.h"

namespace {

using nimbuscrate::benchmarks::secondsSince;
namespace E2EEThumbnail = nimbuscrate::E2EEThumbnail;

struct Setup {
    std::filesystem::path folder;
    std::filesystem::path photo;
    std::filesystem::path output;

    Setup() {
        folder = std::filesystem::temp_directory_path() / ("nc-preview-benchmark-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
        photo = folder / "photo.jpg";
        output = folder / "preview.jpg";
        // 6000 × 4000: a test pattern with grain, as a camera's JPEG.
        const std::string make = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=6000x4000 "
                                 "-vf noise=alls=12:allf=t -frames:v 1 -q:v 3 '" + photo.string() + "'";
        if (std::system(make.c_str()) != 0) std::fprintf(stderr, "could not make the photo\n");
    }
    ~Setup() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

Setup& setup() {
    static Setup instance;
    return instance;
}

double previewSeconds = 0;
double commandLineSeconds = 0;

void BM_MakeLocalPreview(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const auto preview = E2EEThumbnail::makeLocalPreview(s.photo, "image/jpeg");
        previewSeconds += secondsSince(start);
        if (!preview || preview->width != 512 || preview->height != 341) state.SkipWithError("no 512 × 341 preview");
    }
}

void BM_VipsthumbnailCommandLine(benchmark::State& state) {
    Setup& s = setup();
    const std::string command = "vipsthumbnail '" + s.photo.string() + "' --size 512 -o '" + s.output.string() + "[Q=75]'";
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const int status = std::system(command.c_str());
        commandLineSeconds += secondsSince(start);
        if (status != 0) state.SkipWithError("vipsthumbnail failed");
    }
}

BENCHMARK(BM_MakeLocalPreview)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
BENCHMARK(BM_VipsthumbnailCommandLine)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    return nimbuscrate::benchmarks::runBenchmarksThenReport(argc, argv, [] {
        if (previewSeconds > 0 && commandLineSeconds > 0) {
            // The same number of previews on both sides: the time ratio is the speed ratio.
            std::printf("makeLocalPreview/vipsthumbnail speed ratio: %.3f (goal: at least 0.8)\n",
                        commandLineSeconds / previewSeconds);
        }
    });
}
