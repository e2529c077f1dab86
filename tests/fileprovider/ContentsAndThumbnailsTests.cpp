#include <fstream>
#include <mutex>
#include <sstream>

#include "fileprovider/FileProviderItem.h"
#include "platform/log/LogCapture.h"
#include "shared/session/DesktopError.h"
#include "tests/fileprovider/ExtensionTestSupport.h"

namespace nimbuscrate::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

using ContentsTest = ExtensionTest;
using ThumbnailsTest = ExtensionTest;

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST_F(ContentsTest, DeliversTheDownloadWithTheItemAsStored) {
    RemoteItem stored = fileItem("f1", "root", "/report.pdf");
    store(stored);
    // The server meanwhile holds a newer version; the stored one is handed back.
    RemoteItem newer = stored;
    newer.etag = "newer";
    server_->putItem(newer);
    auto call = harness().fetchContents("f1", fp::ItemVersion{bytesOf("old"), bytesOf("old")});
    expectDrained();
    auto [file, item, error] = call->first();
    ASSERT_FALSE(error) << error->localizedDescription();
    ASSERT_TRUE(file);
    EXPECT_EQ(file->filename(), "report.pdf");
    EXPECT_EQ(readFile(*file), "contents of f1");
    ASSERT_TRUE(item);
    EXPECT_EQ(item->itemIdentifier(), "f1");
    EXPECT_EQ(item->itemVersion(), fileProviderItemVersion(stored));
    // The request's own progress goes to the download, which reports into it
    // (the end-to-end run shows the real download completing it); the
    // extension sets nothing itself.
    EXPECT_EQ(call->progress->totalUnitCount(), 100);
    EXPECT_THAT(server_->downloadProgress(), ElementsAre(call->progress.get()));
    EXPECT_EQ(call->progress->completedUnitCount(), 0);
}

TEST_F(ContentsTest, FailuresCarryTheMappedErrorAndNothingElse) {
    store(fileItem("f1", "root", "/a.txt"));
    struct Case {
        const char* name;
        fp::ItemId identifier;
        std::exception_ptr downloadError;
        std::string domain;
        long code;
        std::size_t downloads;
    };
    const Case cases[] = {
        {"not stored", "missing", nullptr, fp::kFileProviderErrorDomain, -1005, 0},
        {"server outage", "f1", std::make_exception_ptr(DesktopError::server(502, "")), fp::kFileProviderErrorDomain,
         -1004, 1},
        {"gone on the server", "f1", std::make_exception_ptr(DesktopError::server(404, "")), fp::kCocoaErrorDomain,
         4101, 1},
        {"signed out", "f1", std::make_exception_ptr(DesktopError::notAuthenticated()), fp::kFileProviderErrorDomain,
         -1000, 1},
    };
    std::size_t downloadCalls = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.downloadError) server_->failAt("downloadFile", downloadCalls + 1, c.downloadError);
        auto call = harness().fetchContents(c.identifier);
        expectDrained();
        downloadCalls += c.downloads;
        EXPECT_EQ(server_->log().count("downloadFile"), downloadCalls);
        auto [file, item, error] = call->first();
        EXPECT_FALSE(file);
        EXPECT_FALSE(item);
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->is(c.domain, c.code)) << error->domain << " " << error->code;
    }
}

TEST_F(ThumbnailsTest, RunsTwoAtATimeInChunksAndCountsEveryAnswer) {
    LogCapture log;
    for (int i = 1; i <= 5; ++i) {
        store(fileItem("img" + std::to_string(i), "root", "/p" + std::to_string(i) + ".jpg"));
    }
    auto gate = std::make_shared<fp::testing::Gate>();
    server_->holdAt("fetchThumbnail", gate);
    auto call = harness().fetchThumbnails({"img1", "img2", "img3", "img4", "img5"});
    ASSERT_TRUE(gate->waitForArrivals(2));
    // The first chunk is held open: nothing of the second chunk has started.
    EXPECT_THAT(server_->log().count("fetchThumbnail"), 2u);
    gate->open();
    expectDrained();
    EXPECT_EQ(server_->maxConcurrentThumbnails(), 2);
    EXPECT_EQ(call.perItem->count(), 5u);
    EXPECT_EQ(call.done->progress->totalUnitCount(), 5);
    EXPECT_EQ(call.done->progress->completedUnitCount(), 5);
    EXPECT_FALSE(std::get<0>(call.done->first()));
    auto entries = server_->log().entries();
    ASSERT_EQ(entries.size(), 5u);
    // Chunk order: {1,2} before {3,4} before {5}.
    EXPECT_THAT((std::vector<std::string>{entries[0].detail, entries[1].detail}), UnorderedElementsAre("img1", "img2"));
    EXPECT_THAT((std::vector<std::string>{entries[2].detail, entries[3].detail}), UnorderedElementsAre("img3", "img4"));
    EXPECT_EQ(entries[4].detail, "img5");
    EXPECT_EQ(log.matching("thumbnails", "Thumbnail returned: bytes=4, encrypted=false").size(), 5u);
}

// Every per-thumbnail answer of one request (the harness's record keeps only the first).
struct ThumbnailAnswers {
    struct Answer {
        fp::ItemId identifier;
        std::optional<Bytes> data;
        std::optional<fp::Error> error;
    };
    std::mutex mutex;
    std::vector<Answer> answers;

    std::optional<Answer> of(const fp::ItemId& identifier) {
        std::lock_guard lock(mutex);
        for (const auto& answer : answers) {
            if (answer.identifier == identifier) return answer;
        }
        return std::nullopt;
    }
};

TEST_F(ThumbnailsTest, ItemsThatCannotHaveAThumbnailGetAnEmptyAnswerWithoutARequest) {
    store(folderItem("d1", "root", "/Pictures.jpg"));
    store(fileItem("txt", "root", "/notes.txt"));
    store(fileItem("pdf", "root", "/paper.pdf"));
    store(fileItem("mov", "root", "/clip.mov"));
    auto answers = std::make_shared<ThumbnailAnswers>();
    auto done = harness().tracker().wrap<std::optional<fp::Error>>("thumbnails", [](std::optional<fp::Error>) {});
    auto progress = harness().extension().fetchThumbnails(
        {"d1", "txt", "missing", "pdf", "mov"}, {256, 256},
        [answers](const fp::ItemId& id, std::optional<Bytes> data, std::optional<fp::Error> error) {
            std::lock_guard lock(answers->mutex);
            answers->answers.push_back({id, std::move(data), std::move(error)});
        },
        done);
    expectDrained();
    EXPECT_THAT(server_->calls(), ElementsAre("fetchThumbnail mov"));
    EXPECT_EQ(answers->answers.size(), 5u);
    EXPECT_EQ(progress->completedUnitCount(), 5);
    for (const char* empty : {"d1", "txt", "missing", "pdf"}) {
        SCOPED_TRACE(empty);
        auto answer = answers->of(empty);
        ASSERT_TRUE(answer);
        EXPECT_FALSE(answer->data);
        EXPECT_FALSE(answer->error);
    }
    auto movie = answers->of("mov");
    ASSERT_TRUE(movie);
    EXPECT_TRUE(movie->data);
}

TEST_F(ThumbnailsTest, AFailedThumbnailIsAnsweredWithItsErrorAndTheBatchGoesOn) {
    LogCapture log;
    store(fileItem("a", "root", "/a.png"));
    store(fileItem("b", "root", "/b.png"));
    store(fileItem("c", "root", "/c.png"));
    server_->failAt("fetchThumbnail", 1, std::make_exception_ptr(DesktopError::server(500, "")));
    auto call = harness().fetchThumbnails({"a", "b", "c"});
    expectDrained();
    EXPECT_EQ(call.perItem->count(), 3u);
    EXPECT_EQ(call.done->progress->completedUnitCount(), 3);
    EXPECT_FALSE(std::get<0>(call.done->first()));
    EXPECT_EQ(log.matching("thumbnails", "Thumbnail failed: ").size(), 1u);
    EXPECT_EQ(log.matching("thumbnails", "Thumbnail returned: ").size(), 2u);
}

TEST_F(ThumbnailsTest, TheRequestedSizeChangesNothing) {
    store(fileItem("a", "root", "/a.png"));
    harness().fetchThumbnails({"a"}, {64, 64});
    expectDrained();
    harness().fetchThumbnails({"a"}, {1024, 1024});
    expectDrained();
    EXPECT_THAT(server_->calls(), ElementsAre("fetchThumbnail a", "fetchThumbnail a"));
}

TEST_F(ThumbnailsTest, AnEmptyBatchCompletesWithoutErrorAndNoUnits) {
    auto call = harness().fetchThumbnails({});
    expectDrained();
    EXPECT_FALSE(std::get<0>(call.done->first()));
    EXPECT_EQ(call.done->progress->totalUnitCount(), 0);
    EXPECT_EQ(call.done->progress->completedUnitCount(), 0);
}

TEST_F(ThumbnailsTest, CancellingDuringTheFirstChunkStartsNoOtherChunkAndCompletesAsCancelled) {
    for (const char* id : {"a", "b", "c", "d"}) store(fileItem(id, "root", std::string("/") + id + ".jpg"));
    auto gate = std::make_shared<fp::testing::Gate>();
    server_->holdAt("fetchThumbnail", gate);
    auto call = harness().fetchThumbnails({"a", "b", "c", "d"});
    ASSERT_TRUE(gate->waitForArrivals(2));
    call.done->progress->cancel();
    expectDrained();
    EXPECT_EQ(server_->log().count("fetchThumbnail"), 2u);
    // The two started transfers answer with their (cancelled) error; c and d get no answer.
    EXPECT_EQ(call.perItem->count(), 2u);
    auto [id, data, error] = call.perItem->first();
    EXPECT_FALSE(data);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(fp::kCocoaErrorDomain, 3072));
    auto finalError = std::get<0>(call.done->first());
    ASSERT_TRUE(finalError);
    EXPECT_TRUE(finalError->is(fp::kCocoaErrorDomain, 3072));
    ASSERT_TRUE(finalError->userInfo.has_value());
    EXPECT_TRUE(finalError->userInfo->empty());
    EXPECT_EQ(call.done->progress->completedUnitCount(), 2);
}

}  // namespace
}  // namespace nimbuscrate::testing
