// Rows per second for the two bulk paths of a folder listing: parsing the
// multistatus reply and storing the children in the mapping database.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/core/Random.h"
#include "shared/session/MappingStore.h"
#include "shared/session/WebDAVParser.h"

namespace {

using namespace nimbuscrate;

constexpr int kRows = 10'000;

std::vector<RemoteItem> children(int generation) {
    std::vector<RemoteItem> items;
    items.reserve(kRows);
    for (int i = 0; i < kRows; ++i) {
        RemoteItem item;
        item.id = "file-" + std::to_string(i);
        item.parentID = "folder";
        item.name = "Document " + std::to_string(i) + ".txt";
        item.path = "/Folder/" + item.name;
        item.size = 1000 + i;
        item.modifiedAt = Date::fromUnixSeconds(1'700'000'000 + i);
        item.etag = "etag-" + std::to_string(generation) + "-" + std::to_string(i);
        item.contentType = "text/plain";
        items.push_back(std::move(item));
    }
    return items;
}

class TemporaryStore {
public:
    TemporaryStore()
        : base_(std::filesystem::temp_directory_path() / ("mapping-benchmark-" + Uuid::random().lowerString())),
          store_(base_) {
        RemoteItem folder;
        folder.id = "folder";
        folder.parentID = "root";
        folder.path = "/Folder";
        folder.name = "Folder";
        folder.isDirectory = true;
        folder.etag = "folder";
        store_.upsert(folder);
    }
    ~TemporaryStore() {
        std::error_code ignored;
        std::filesystem::remove_all(base_, ignored);
    }
    MappingStore& store() { return store_; }

private:
    std::filesystem::path base_;
    MappingStore store_;
};

// Arg 0: the folder is empty before each listing (every row inserted).
// Arg 1: every row is already stored and changes its version tag.
// Arg 2: every row is already stored as listed (a listing with no change).
void BM_ReplaceChildren(benchmark::State& state) {
    TemporaryStore temporary;
    const bool update = state.range(0) >= 1;
    const bool unchanged = state.range(0) == 2;
    const std::vector<RemoteItem> generations[2] = {children(0), children(1)};
    if (update) temporary.store().replaceChildren("folder", generations[unchanged ? 0 : 1]);
    int generation = 0;
    for (auto _ : state) {
        if (!update) {
            state.PauseTiming();
            temporary.store().replaceChildren("folder", {});
            state.ResumeTiming();
        }
        auto removed = temporary.store().replaceChildren("folder", generations[generation]);
        benchmark::DoNotOptimize(removed);
        if (!unchanged) generation = 1 - generation;
    }
    state.counters["rows_per_second"] =
        benchmark::Counter(static_cast<double>(kRows) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReplaceChildren)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

// A depth-1 reply as the file server writes it: one found and one
// not-found property block per entry.
std::string multistatus() {
    std::string document =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<d:multistatus xmlns:d=\"DAV:\" xmlns:s=\"http://sabredav.org/ns\" xmlns:oc=\"http://owncloud.org/ns\">";
    for (int i = 0; i < kRows; ++i) {
        const std::string n = std::to_string(i);
        document += "<d:response><d:href>/dav/spaces/3f2a9c1e-drive/Folder/Document%20" + n +
                    ".txt</d:href><d:propstat><d:prop><oc:fileid>3f2a9c1e-drive!" + n +
                    "</oc:fileid><d:displayname>Document " + n + ".txt</d:displayname><d:getetag>\"etag-" + n +
                    "\"</d:getetag><d:getcontentlength>" + std::to_string(1000 + i) +
                    "</d:getcontentlength><d:getcontenttype>text/plain</d:getcontenttype>"
                    "<d:getlastmodified>Tue, 14 Nov 2023 22:13:20 GMT</d:getlastmodified><d:resourcetype/>"
                    "</d:prop><d:status>HTTP/1.1 200 OK</d:status></d:propstat><d:propstat><d:prop>"
                    "<oc:checksums/></d:prop><d:status>HTTP/1.1 404 Not Found</d:status></d:propstat></d:response>\n";
    }
    document += "</d:multistatus>\n";
    return document;
}

void BM_ParseMultistatus(benchmark::State& state) {
    const std::string document = multistatus();
    const std::size_t chunk = 16 * 1024;  // as a reply arrives from the network
    for (auto _ : state) {
        WebDAVParser parser;
        for (std::size_t offset = 0; offset < document.size(); offset += chunk) {
            parser.feed(std::string_view(document).substr(offset, chunk));
        }
        parser.finish();
        if (parser.responses().size() != kRows) state.SkipWithError("wrong number of responses");
        benchmark::DoNotOptimize(parser.responses().data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(document.size()) * state.iterations());
    state.counters["rows_per_second"] =
        benchmark::Counter(static_cast<double>(kRows) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParseMultistatus)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
