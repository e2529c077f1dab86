// The extension's entries through the real file-server client to the local
// service's WebDAV server, one run per entry.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "fileprovider/ExtensionErrors.h"
#include "fileprovider/FileProviderExtension.h"
#include "fileprovider/FileProviderItem.h"
#include "fileprovider/OcisFileServer.h"
#include "platform/defaults/Defaults.h"
#include "platform/fileprovider/testing/ExtensionHarness.h"
#include "platform/http/HttpTransport.h"
#include "shared/session/DesktopSession.h"
#include "shared/session/KeychainStore.h"
#include "shared/session/OAuthClient.h"
#include "shared/session/OcisClient.h"
#include "shared/session/PlainOnlyDriveService.h"
#include "shared/session/TokenProvider.h"
#include "tests/fileprovider/ExtensionTestSupport.h"
#include "tests/support/ExtensionServicesFixture.h"
#include "tools/localservice/LocalService.h"

namespace nimbuscrate::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

std::vector<std::string> filenames(const std::vector<fp::ItemPtr>& items) {
    std::vector<std::string> names;
    for (const auto& item : items) names.push_back(item->filename());
    return names;
}

class ExtensionEndToEndTest : public ExtensionServicesFixture {
protected:
    ~ExtensionEndToEndTest() override { harness_.reset(); }

    fp::testing::ExtensionHarness& harness() {
        if (!harness_) harness_ = std::make_unique<fp::testing::ExtensionHarness>(extensionFactory());
        return *harness_;
    }

    void expectDrained() { EXPECT_THAT(harness().drain(std::chrono::seconds(60)), IsEmpty()); }

    std::string fileId(const std::string& path) { return service_.fileId("d1", path).value_or("<none>"); }

    // Lists the root so that its children are stored, as the system does first.
    std::shared_ptr<fp::testing::RecordingEnumerationObserver> listRoot() {
        auto observer = harness().enumerateItems(fp::kRootContainer);
        expectDrained();
        return observer;
    }

    std::unique_ptr<fp::testing::ExtensionHarness> harness_;
};

TEST_F(ExtensionEndToEndTest, ListsFoldersStoresThemAndLooksTheirItemsUp) {
    writeFile(drive_ / "Docs" / "a.txt", "alpha");
    writeFile(drive_ / "top.txt", "top");
    auto root = listRoot();
    ASSERT_FALSE(root->error()) << root->error()->localizedDescription();
    EXPECT_THAT(filenames(root->items()), UnorderedElementsAre("Docs", "top.txt"));
    auto lookup = harness().item(fileId("/Docs"));
    auto [docs, error] = lookup->first();
    ASSERT_TRUE(docs) << error->localizedDescription();
    EXPECT_TRUE(docs->isFolder());
    EXPECT_EQ(docs->parentItemIdentifier(), fp::kRootContainer);

    auto inside = harness().enumerateItems(fileId("/Docs"));
    expectDrained();
    EXPECT_THAT(filenames(inside->items()), ElementsAre("a.txt"));
    EXPECT_EQ(inside->items()[0]->itemIdentifier(), fileId("/Docs/a.txt"));
    EXPECT_EQ(inside->items()[0]->documentSize(), std::optional<std::int64_t>(5));
}

TEST_F(ExtensionEndToEndTest, ChangesReportTheFreshListingAndWhatLeftTheFolder) {
    writeFile(drive_ / "stays.txt", "1");
    writeFile(drive_ / "goes.txt", "2");
    listRoot();
    const std::string gone = fileId("/goes.txt");
    // (new.txt is written first so that it cannot take over the removed file's inode.)
    writeFile(drive_ / "new.txt", "3");
    std::filesystem::remove(drive_ / "goes.txt");
    auto changes = harness().enumerateChanges(fp::kRootContainer, bytesOf("whatever"));
    expectDrained();
    ASSERT_FALSE(changes->error()) << changes->error()->localizedDescription();
    EXPECT_THAT(filenames(changes->updated()), UnorderedElementsAre("stays.txt", "new.txt"));
    EXPECT_THAT(changes->deleted(), ElementsAre(gone));
    EXPECT_FALSE(mapping_.item(gone));
}

TEST_F(ExtensionEndToEndTest, FetchesContentsIntoAFileOfTheirOwn) {
    writeFile(drive_ / "report.pdf", "%PDF-1.4 contents");
    listRoot();
    auto call = harness().fetchContents(fileId("/report.pdf"));
    expectDrained();
    auto [file, item, error] = call->first();
    ASSERT_FALSE(error) << error->localizedDescription();
    ASSERT_TRUE(file);
    EXPECT_EQ(file->filename(), "report.pdf");
    EXPECT_EQ(readFile(*file), "%PDF-1.4 contents");
    EXPECT_EQ(call->progress->completedUnitCount(), 100);
    std::filesystem::remove_all(file->parent_path());
}

TEST_F(ExtensionEndToEndTest, FetchesThumbnailsOfImagesOnly) {
    writeFile(drive_ / "photo.png", kTinyPNG);
    writeFile(drive_ / "notes.txt", "text");
    listRoot();
    auto call = harness().fetchThumbnails({fileId("/photo.png")});
    expectDrained();
    auto [id, data, error] = call.perItem->first();
    ASSERT_FALSE(error) << error->localizedDescription();
    ASSERT_TRUE(data);
    ASSERT_GE(data->size(), 8u);
    EXPECT_EQ(std::string(data->begin(), data->begin() + 4), "\x89PNG");
    EXPECT_FALSE(std::get<0>(call.done->first()));
    EXPECT_EQ(service_.requests().matching("GET", "/v1/thumbnail").size(), 1u);
}

TEST_F(ExtensionEndToEndTest, CreatesFoldersAndFilesWithoutReplacingAnything) {
    listRoot();
    TemplateSpec folder;
    folder.filename = "New Folder";
    folder.contentType = fp::ContentType::folder();
    auto madeFolder = harness().create(makeTemplate(folder), fp::ItemField::filename);
    expectDrained();
    auto folderItemMade = std::get<0>(madeFolder->first());
    ASSERT_TRUE(folderItemMade) << std::get<3>(madeFolder->first())->localizedDescription();
    EXPECT_TRUE(std::filesystem::is_directory(drive_ / "New Folder"));
    EXPECT_EQ(folderItemMade->itemIdentifier(), fileId("/New Folder"));
    EXPECT_EQ(davRequests("MKCOL").size(), 1u);

    TemplateSpec file;
    file.parent = folderItemMade->itemIdentifier();
    file.filename = "a b.txt";
    file.modified = std::optional<Date>(Date::fromUnixSeconds(1'600'000'000));
    auto local = data_ / "local" / "a b.txt";
    writeFile(local, "written");
    auto madeFile = harness().create(makeTemplate(file), fp::ItemField::contents, local);
    TemplateSpec empty;
    empty.filename = "empty.txt";
    auto madeEmpty = harness().create(makeTemplate(empty), fp::ItemField::filename);
    expectDrained();
    ASSERT_TRUE(std::get<0>(madeFile->first())) << std::get<3>(madeFile->first())->localizedDescription();
    ASSERT_TRUE(std::get<0>(madeEmpty->first())) << std::get<3>(madeEmpty->first())->localizedDescription();
    EXPECT_EQ(readFile(drive_ / "New Folder" / "a b.txt"), "written");
    EXPECT_EQ(std::filesystem::file_size(drive_ / "empty.txt"), 0u);
    auto puts = davRequests("PUT");
    ASSERT_EQ(puts.size(), 2u);
    for (const auto& put : puts) EXPECT_EQ(put.header("If-None-Match"), "*") << put.path;
    EXPECT_EQ(mapping_.item(std::get<0>(madeFile->first())->itemIdentifier())->parentID,
              folderItemMade->itemIdentifier());
    EXPECT_THAT(harness().manager().signalled(),
                UnorderedElementsAre(fp::kRootContainer, folderItemMade->itemIdentifier(), fp::kRootContainer));
}

TEST_F(ExtensionEndToEndTest, ACreateOverAnItemNotYetListedIsRefusedAndBothCopiesStay) {
    listRoot();
    // Items that arrived on the server after the listing.
    writeFile(drive_ / "theirs.txt", "the server's");
    std::filesystem::create_directories(drive_ / "Their Folder");
    struct Case {
        const char* name;
        std::string filename;
        bool folder;
        bool withContents;
    };
    const Case cases[] = {
        {"file with contents over a file", "theirs.txt", false, true},
        {"empty file over a file", "theirs.txt", false, false},
        {"folder over a file", "theirs.txt", true, false},
        {"file with contents over a folder", "Their Folder", false, true},
        {"folder over a folder", "Their Folder", true, false},
    };
    auto local = data_ / "local" / "mine.txt";
    writeFile(local, "mine");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TemplateSpec spec;
        spec.filename = c.filename;
        if (c.folder) spec.contentType = fp::ContentType::folder();
        auto call = harness().create(makeTemplate(spec), fp::ItemField::contents,
                                     c.withContents ? std::optional(local) : std::nullopt);
        expectDrained();
        auto [item, pending, refetch, error] = call->first();
        EXPECT_FALSE(item);
        EXPECT_EQ(pending, fp::ItemField::contents);
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->is(fp::kFileProviderErrorDomain, -1001)) << error->localizedDescription();
    }
    EXPECT_EQ(readFile(drive_ / "theirs.txt"), "the server's");
    EXPECT_TRUE(std::filesystem::is_directory(drive_ / "Their Folder"));
    EXPECT_TRUE(std::filesystem::is_empty(drive_ / "Their Folder"));
    EXPECT_EQ(readFile(local), "mine");
    for (const auto& put : davRequests("PUT")) EXPECT_EQ(put.header("If-None-Match"), "*");
    EXPECT_EQ(davRequests("PUT").size(), 3u);
    EXPECT_EQ(davRequests("MKCOL").size(), 2u);
    EXPECT_THAT(harness().manager().signalled(), IsEmpty());
}

TEST_F(ExtensionEndToEndTest, ModifiesByMovingThenUploadingToTheNewPlace) {
    writeFile(drive_ / "Old.txt", "old");
    writeFile(drive_ / "Dest" / "keep.txt", "k");
    listRoot();
    auto stored = mapping_.item(fileId("/Old.txt"));
    ASSERT_TRUE(stored);
    auto local = data_ / "local" / "New.txt";
    writeFile(local, "new contents");
    auto call = harness().modify(systemItem(*stored, "New.txt", fileId("/Dest")), fileProviderItemVersion(*stored),
                                 fp::ItemField::filename | fp::ItemField::parentItemIdentifier | fp::ItemField::contents,
                                 local);
    expectDrained();
    auto [item, pending, refetch, error] = call->first();
    ASSERT_TRUE(item) << error->localizedDescription();
    EXPECT_EQ(item->filename(), "New.txt");
    EXPECT_EQ(item->parentItemIdentifier(), fileId("/Dest"));
    EXPECT_FALSE(std::filesystem::exists(drive_ / "Old.txt"));
    EXPECT_EQ(readFile(drive_ / "Dest" / "New.txt"), "new contents");
    auto moves = davRequests("MOVE");
    ASSERT_EQ(moves.size(), 1u);
    EXPECT_EQ(moves[0].header("Overwrite"), "F");
    EXPECT_EQ(davRequests("PUT").size(), 1u);
    EXPECT_THAT(harness().manager().signalled(), ElementsAre(fp::kRootContainer, fileId("/Dest")));
}

TEST_F(ExtensionEndToEndTest, DeletesOnTheServerAndForgetsTheItem) {
    writeFile(drive_ / "Folder" / "inside.txt", "x");
    listRoot();
    const std::string folder = fileId("/Folder");
    auto call = harness().remove(folder, {});
    expectDrained();
    auto error = std::get<0>(call->first());
    ASSERT_FALSE(error) << error->localizedDescription();
    EXPECT_FALSE(std::filesystem::exists(drive_ / "Folder"));
    EXPECT_FALSE(mapping_.item(folder));
    EXPECT_THAT(harness().manager().signalled(), ElementsAre(fp::kRootContainer));
}

}  // namespace
}  // namespace nimbuscrate::testing
