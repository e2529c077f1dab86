// Items per second for a listing of 10,000 files applied to the host's
// replica, in memory and with its database (on the disk, under the
// temporary folder): the first listing of the folder, a listing in which
// every item has a new version, and one in which nothing changed (which
// writes nothing but the folder's own row).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/fileprovider/host/Replica.h"

namespace nimbuscrate::fp::host {
namespace {

constexpr int kItems = 10'000;

std::vector<ItemPtr> listing(char version) {
    std::vector<ItemPtr> items;
    items.reserve(kItems);
    for (int index = 0; index < kItems; ++index) {
        ItemProperties properties;
        properties.identifier = "file-" + std::to_string(index);
        properties.parent = kRootContainer;
        properties.filename = "Document " + std::to_string(index) + ".txt";
        properties.contentType = ContentType::data();
        properties.documentSize = std::optional<std::int64_t>(1000 + index);
        properties.contentModificationDate = std::optional<Date>(Date::fromUnixSeconds(1'700'000'000 + index));
        properties.capabilities = Capability::allowsReading | Capability::allowsWriting;
        properties.version = ItemVersion{{static_cast<std::uint8_t>(version)}, {'m'}};
        items.push_back(ItemSnapshot::make(properties));
    }
    return items;
}

enum Listing : std::int64_t { first = 0, allChanged = 1, noneChanged = 2 };

// Args: the listing (see Listing); 1 with the database, 0 in memory.
void BM_ReplicaListing(benchmark::State& state) {
    const auto kind = static_cast<Listing>(state.range(0));
    const bool onDisk = state.range(1) == 1;
    const auto folder = std::filesystem::temp_directory_path() / ("replica-benchmark-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    // A fresh replica: a new, empty database file when on the disk.
    int opened = 0;
    auto open = [&] {
        return onDisk ? std::make_unique<Replica>(folder / ("replica-" + std::to_string(++opened) + ".sqlite3"))
                      : std::make_unique<Replica>();
    };
    const std::vector<ItemPtr> versions[2] = {listing('a'), listing('b')};
    auto replica = open();
    replica->replaceChildren(kRootInode, versions[0], SyncAnchor{'0'}, 0);
    int generation = 0;
    for (auto _ : state) {
        if (kind == first) {
            state.PauseTiming();
            replica.reset();
            replica = open();
            state.ResumeTiming();
        } else if (kind == allChanged) {
            generation = 1 - generation;
        }
        auto invalidations = replica->replaceChildren(kRootInode, versions[generation], SyncAnchor{'1'}, 0);
        benchmark::DoNotOptimize(invalidations);
    }
    state.counters["items_per_second"] = benchmark::Counter(
        static_cast<double>(kItems) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    replica.reset();
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_ReplicaListing)
    ->ArgNames({"listing", "on_disk"})
    ->ArgsProduct({{first, allChanged, noneChanged}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace nimbuscrate::fp::host

BENCHMARK_MAIN();
