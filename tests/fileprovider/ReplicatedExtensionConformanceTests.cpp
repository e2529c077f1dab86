// What every extension the system runs must do alike: the in-memory one the
// host's tests stand on, and the real extension over the file-server client
// against the local service's WebDAV server on 127.0.0.1. Each case runs
// against both, so that the stand-in cannot drift from the real code.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "platform/fileprovider/testing/ExtensionHarness.h"
#include "platform/fileprovider/testing/InMemoryExtension.h"
#include "tests/support/ExtensionServicesFixture.h"
#include "tests/support/LocalServiceFixture.h"

namespace nimbuscrate::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::UnorderedElementsAre;

constexpr auto kDrainTimeout = std::chrono::seconds(60);

// The in-memory extension; the server's side is its tree.
class InMemoryImplementation : public ::testing::Test {
protected:
    InMemoryImplementation() : scratch_(makeTemporaryDirectory("nc-conformance-memory")) {}
    ~InMemoryImplementation() override {
        harness_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(scratch_, ignored);
    }

    fp::testing::ExtensionHarness& harness() { return *harness_; }

    // ---- the server's side, by path below the root ("Docs/a.txt")
    void serverFolder(const std::string& path) { ids_[path] = tree_->addFolder(parentOf(path), nameOf(path)); }
    void serverFile(const std::string& path, const std::string& contents) {
        ids_[path] = tree_->addFile(parentOf(path), nameOf(path), contents);
    }
    void serverRemove(const std::string& path) { tree_->removeItem(serverId(path)); }
    fp::ItemId serverId(const std::string& path) { return ids_.at(path); }

private:
    static std::string nameOf(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }
    fp::ItemId parentOf(const std::string& path) {
        auto slash = path.find_last_of('/');
        return slash == std::string::npos ? fp::kRootContainer : ids_.at(path.substr(0, slash));
    }

    std::filesystem::path scratch_;
    std::shared_ptr<fp::testing::InMemoryExtension> tree_;
    std::unique_ptr<fp::testing::ExtensionHarness> harness_ =
        std::make_unique<fp::testing::ExtensionHarness>([this](fp::ExtensionEnvironment environment) -> fp::ExtensionPtr {
            tree_ = std::make_shared<fp::testing::InMemoryExtension>(std::move(environment), scratch_ / "downloads");
            return tree_;
        });
    std::map<std::string, fp::ItemId> ids_;
};

// The real extension; the server's side is the local service's drive folder.
class RealImplementation : public ExtensionServicesFixture {
protected:
    ~RealImplementation() override { harness_.reset(); }

    fp::testing::ExtensionHarness& harness() { return *harness_; }

    void serverFolder(const std::string& path) { std::filesystem::create_directories(drive_ / path); }
    void serverFile(const std::string& path, const std::string& contents) { writeFile(drive_ / path, contents); }
    void serverRemove(const std::string& path) { std::filesystem::remove_all(drive_ / path); }
    fp::ItemId serverId(const std::string& path) { return service_.fileId("d1", "/" + path).value_or("<none>"); }

private:
    std::unique_ptr<fp::testing::ExtensionHarness> harness_ =
        std::make_unique<fp::testing::ExtensionHarness>(extensionFactory());
};

template <class Implementation>
class ReplicatedExtensionConformance : public Implementation {
protected:
    fp::testing::ExtensionHarness& h() { return this->harness(); }
    void expectDrained() { EXPECT_THAT(h().drain(kDrainTimeout), IsEmpty()); }

    // One listing of a container, drained and checked to have succeeded.
    std::vector<fp::ItemPtr> list(const fp::ItemId& container) {
        auto observer = h().enumerateItems(container);
        expectDrained();
        EXPECT_FALSE(observer->error()) << observer->error()->localizedDescription();
        EXPECT_TRUE(observer->finished());
        return observer->items();
    }
    static std::vector<std::string> names(const std::vector<fp::ItemPtr>& items) {
        std::vector<std::string> result;
        for (const auto& item : items) result.push_back(item->filename());
        return result;
    }

    fp::ItemPtr lookUp(const fp::ItemId& identifier) {
        auto call = h().item(identifier);
        expectDrained();
        auto [item, error] = call->first();
        EXPECT_TRUE(item) << (error ? error->localizedDescription() : "no item and no error");
        return item;
    }

    std::string fetch(const fp::ItemId& identifier) {
        auto call = h().fetchContents(identifier);
        expectDrained();
        auto [file, item, error] = call->first();
        EXPECT_FALSE(error) << error->localizedDescription();
        if (!file) return "<no file>";
        EXPECT_EQ(item->itemIdentifier(), identifier);
        // A download of its own, named after the item.
        EXPECT_EQ(file->filename(), item->filename());
        std::string contents = readFile(*file);
        std::error_code ignored;
        std::filesystem::remove_all(file->parent_path(), ignored);
        return contents;
    }

    std::filesystem::path localFile(const std::string& name, const std::string& contents) {
        auto path = local_ / name;
        writeFile(path, contents);
        return path;
    }

    static fp::ItemPtr newItem(const fp::ItemId& parent, const std::string& filename, bool folder) {
        fp::ItemProperties properties;
        properties.identifier = "new";
        properties.parent = parent;
        properties.filename = filename;
        properties.contentType = folder ? fp::ContentType::folder() : fp::ContentType::data();
        return fp::ItemSnapshot::make(properties);
    }
    static fp::ItemPtr changed(const fp::ItemPtr& item, const fp::ItemId& parent, const std::string& filename) {
        auto properties = fp::ItemProperties::of(*item);
        properties.parent = parent;
        properties.filename = filename;
        return fp::ItemSnapshot::make(properties);
    }

    // The written item of a successful create or modify.
    static fp::ItemPtr written(const std::shared_ptr<fp::testing::WriteCall>& call) {
        auto [item, pending, refetch, error] = call->first();
        EXPECT_TRUE(item) << (error ? error->localizedDescription() : "no item and no error");
        EXPECT_EQ(pending, 0u);
        return item;
    }

    ~ReplicatedExtensionConformance() override {
        std::error_code ignored;
        std::filesystem::remove_all(local_, ignored);
    }

    std::filesystem::path local_ = makeTemporaryDirectory("nc-conformance-local");
};

using Implementations = ::testing::Types<InMemoryImplementation, RealImplementation>;

class ImplementationNames {
public:
    template <class T>
    static std::string GetName(int) {
        return std::is_same_v<T, InMemoryImplementation> ? "InMemory" : "Real";
    }
};

TYPED_TEST_SUITE(ReplicatedExtensionConformance, Implementations, ImplementationNames);

TYPED_TEST(ReplicatedExtensionConformance, LooksUpTheRootAndRefusesAMissingItem) {
    auto root = this->lookUp(fp::kRootContainer);
    ASSERT_TRUE(root);
    EXPECT_TRUE(root->isFolder());
    EXPECT_EQ(root->itemIdentifier(), fp::kRootContainer);

    auto missing = this->h().item("no-such-item");
    this->expectDrained();
    auto [item, error] = missing->first();
    EXPECT_FALSE(item);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(fp::kFileProviderErrorDomain, fp::FileProviderErrorCode::noSuchItem))
        << error->localizedDescription();

    std::optional<fp::Error> refused;
    EXPECT_FALSE(this->h().enumerator("no-such-item", &refused));
    ASSERT_TRUE(refused);
    EXPECT_TRUE(refused->is(fp::kFileProviderErrorDomain, fp::FileProviderErrorCode::noSuchItem));
}

TYPED_TEST(ReplicatedExtensionConformance, ListsAFolderAndTheFolderBelowIt) {
    this->serverFolder("Docs");
    this->serverFile("Docs/a.txt", "alpha");
    this->serverFile("top.txt", "top");

    auto root = this->list(fp::kRootContainer);
    EXPECT_THAT(this->names(root), UnorderedElementsAre("Docs", "top.txt"));
    for (const auto& item : root) {
        EXPECT_EQ(item->parentItemIdentifier(), fp::kRootContainer);
        EXPECT_EQ(item->isFolder(), item->filename() == "Docs") << item->filename();
        EXPECT_EQ(item->itemIdentifier(), this->serverId(item->filename()));
    }
    auto docs = this->lookUp(this->serverId("Docs"));
    ASSERT_TRUE(docs);
    EXPECT_TRUE(docs->isFolder());
    EXPECT_EQ(docs->filename(), "Docs");

    auto inside = this->list(this->serverId("Docs"));
    ASSERT_EQ(inside.size(), 1u);
    EXPECT_EQ(inside[0]->filename(), "a.txt");
    EXPECT_EQ(inside[0]->itemIdentifier(), this->serverId("Docs/a.txt"));
    EXPECT_EQ(inside[0]->parentItemIdentifier(), this->serverId("Docs"));
    EXPECT_EQ(inside[0]->documentSize(), fp::Provided<std::int64_t>(std::optional<std::int64_t>(5)));
    EXPECT_EQ(this->fetch(this->serverId("Docs/a.txt")), "alpha");
}

TYPED_TEST(ReplicatedExtensionConformance, CreatesAFolderAndAFileInIt) {
    this->list(fp::kRootContainer);
    auto folderCall = this->h().create(this->newItem(fp::kRootContainer, "New Folder", true), fp::ItemField::filename);
    this->expectDrained();
    auto folder = this->written(folderCall);
    ASSERT_TRUE(folder);
    EXPECT_TRUE(folder->isFolder());
    EXPECT_EQ(folder->filename(), "New Folder");
    EXPECT_EQ(folder->parentItemIdentifier(), fp::kRootContainer);
    EXPECT_NE(folder->itemIdentifier(), "new");

    auto fileCall = this->h().create(this->newItem(folder->itemIdentifier(), "a b.txt", false),
                                     fp::ItemField::filename | fp::ItemField::contents,
                                     this->localFile("a b.txt", "written"));
    this->expectDrained();
    auto file = this->written(fileCall);
    ASSERT_TRUE(file);
    EXPECT_FALSE(file->isFolder());
    EXPECT_EQ(file->filename(), "a b.txt");
    EXPECT_EQ(file->parentItemIdentifier(), folder->itemIdentifier());
    EXPECT_EQ(file->documentSize(), fp::Provided<std::int64_t>(std::optional<std::int64_t>(7)));

    EXPECT_THAT(this->names(this->list(fp::kRootContainer)), ElementsAre("New Folder"));
    auto inside = this->list(folder->itemIdentifier());
    ASSERT_EQ(inside.size(), 1u);
    EXPECT_EQ(inside[0]->itemIdentifier(), file->itemIdentifier());
    EXPECT_EQ(this->fetch(file->itemIdentifier()), "written");
}

TYPED_TEST(ReplicatedExtensionConformance, NewContentsMakeANewContentVersion) {
    this->serverFile("f.txt", "old");
    this->list(fp::kRootContainer);
    auto before = this->lookUp(this->serverId("f.txt"));
    ASSERT_TRUE(before);
    ASSERT_TRUE(before->itemVersion());

    auto call = this->h().modify(before, *before->itemVersion(), fp::ItemField::contents,
                                 this->localFile("f.txt", "new contents"));
    this->expectDrained();
    auto after = this->written(call);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->itemIdentifier(), before->itemIdentifier());
    ASSERT_TRUE(after->itemVersion());
    EXPECT_NE(after->itemVersion()->content, before->itemVersion()->content);
    EXPECT_EQ(after->documentSize(), fp::Provided<std::int64_t>(std::optional<std::int64_t>(12)));
    EXPECT_EQ(this->fetch(before->itemIdentifier()), "new contents");
}

TYPED_TEST(ReplicatedExtensionConformance, RenamesAndMovesKeepingTheIdentifierAndContents) {
    this->serverFile("old.txt", "kept");
    this->serverFolder("Dest");
    this->list(fp::kRootContainer);
    auto item = this->lookUp(this->serverId("old.txt"));
    ASSERT_TRUE(item);
    const fp::ItemId id = item->itemIdentifier();
    const fp::ItemId dest = this->serverId("Dest");

    auto renameCall = this->h().modify(this->changed(item, fp::kRootContainer, "new.txt"), *item->itemVersion(),
                                       fp::ItemField::filename);
    this->expectDrained();
    auto renamed = this->written(renameCall);
    ASSERT_TRUE(renamed);
    EXPECT_EQ(renamed->filename(), "new.txt");
    EXPECT_EQ(renamed->itemIdentifier(), id);
    EXPECT_THAT(this->names(this->list(fp::kRootContainer)), UnorderedElementsAre("Dest", "new.txt"));

    auto moveCall = this->h().modify(this->changed(renamed, dest, "new.txt"), *renamed->itemVersion(),
                                     fp::ItemField::parentItemIdentifier);
    this->expectDrained();
    auto moved = this->written(moveCall);
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->parentItemIdentifier(), dest);
    EXPECT_EQ(moved->itemIdentifier(), id);
    EXPECT_THAT(this->names(this->list(fp::kRootContainer)), ElementsAre("Dest"));
    auto inDest = this->list(dest);
    ASSERT_EQ(inDest.size(), 1u);
    EXPECT_EQ(inDest[0]->itemIdentifier(), id);
    EXPECT_EQ(inDest[0]->filename(), "new.txt");
    EXPECT_EQ(this->fetch(id), "kept");
}

TYPED_TEST(ReplicatedExtensionConformance, DeletesAFolderWithWhatIsInIt) {
    this->serverFolder("Folder");
    this->serverFile("Folder/inside.txt", "x");
    this->serverFile("stays.txt", "y");
    this->list(fp::kRootContainer);
    auto folder = this->lookUp(this->serverId("Folder"));
    ASSERT_TRUE(folder);

    auto call = this->h().remove(folder->itemIdentifier(), *folder->itemVersion());
    this->expectDrained();
    auto error = std::get<0>(call->first());
    EXPECT_FALSE(error) << error->localizedDescription();
    EXPECT_THAT(this->names(this->list(fp::kRootContainer)), ElementsAre("stays.txt"));

    auto gone = this->h().item(folder->itemIdentifier());
    this->expectDrained();
    auto [item, lookupError] = gone->first();
    EXPECT_FALSE(item);
    ASSERT_TRUE(lookupError);
    EXPECT_TRUE(lookupError->is(fp::kFileProviderErrorDomain, fp::FileProviderErrorCode::noSuchItem));
}

TYPED_TEST(ReplicatedExtensionConformance, ATakenNameIsACollisionAndChangesNothing) {
    this->serverFile("taken.txt", "theirs");
    this->serverFolder("Taken Folder");
    this->serverFile("mine.txt", "mine");
    this->list(fp::kRootContainer);
    auto mine = this->lookUp(this->serverId("mine.txt"));
    ASSERT_TRUE(mine);

    struct Case {
        const char* name;
        std::string filename;
        bool folder;
    };
    const Case creates[] = {
        {"file over a file", "taken.txt", false},
        {"folder over a folder", "Taken Folder", true},
        {"file over a folder", "Taken Folder", false},
    };
    for (const auto& row : creates) {
        SCOPED_TRACE(row.name);
        const fp::ItemFields fields = row.folder ? fp::ItemFields(fp::ItemField::filename) : fp::ItemField::contents;
        auto call = this->h().create(this->newItem(fp::kRootContainer, row.filename, row.folder), fields,
                                     row.folder ? std::nullopt : std::optional(this->localFile("new", "new")));
        this->expectDrained();
        auto [item, pending, refetch, error] = call->first();
        EXPECT_FALSE(item);
        EXPECT_EQ(pending, fields);
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->is(fp::kFileProviderErrorDomain, fp::FileProviderErrorCode::filenameCollision))
            << error->localizedDescription();
    }

    // A rename onto a taken name: the server refuses to replace the item
    // there, and that comes back as a general failure.
    auto rename = this->h().modify(this->changed(mine, fp::kRootContainer, "taken.txt"), *mine->itemVersion(),
                                   fp::ItemField::filename);
    this->expectDrained();
    auto [item, pending, refetch, error] = rename->first();
    EXPECT_FALSE(item);
    EXPECT_EQ(pending, fp::ItemFields(fp::ItemField::filename));
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(fp::kCocoaErrorDomain, fp::CocoaErrorCode::connectionReplyInvalid))
        << error->domain << " " << error->code;

    EXPECT_THAT(this->names(this->list(fp::kRootContainer)), UnorderedElementsAre("taken.txt", "Taken Folder", "mine.txt"));
    EXPECT_EQ(this->fetch(this->serverId("taken.txt")), "theirs");
    EXPECT_EQ(this->fetch(this->serverId("mine.txt")), "mine");
    EXPECT_THAT(this->list(this->serverId("Taken Folder")), IsEmpty());
}

TYPED_TEST(ReplicatedExtensionConformance, ChangesReportWhatArrivedAndWhatLeft) {
    this->serverFile("stays.txt", "1");
    this->serverFile("goes.txt", "2");
    this->list(fp::kRootContainer);
    auto anchorCall = this->h().currentSyncAnchor(fp::kRootContainer);
    this->expectDrained();
    auto anchor = std::get<0>(anchorCall->first());
    ASSERT_TRUE(anchor);
    const fp::ItemId gone = this->serverId("goes.txt");

    // (arrives.txt is written first so that it cannot take over the removed file's identifier.)
    this->serverFile("arrives.txt", "3");
    this->serverRemove("goes.txt");
    auto changes = this->h().enumerateChanges(fp::kRootContainer, *anchor);
    this->expectDrained();
    ASSERT_FALSE(changes->error()) << changes->error()->localizedDescription();
    ASSERT_TRUE(changes->finished());
    EXPECT_FALSE(changes->moreComing());
    EXPECT_THAT(changes->updatedIdentifiers(), Contains(this->serverId("arrives.txt")));
    EXPECT_THAT(changes->updatedIdentifiers(), Not(Contains(gone)));
    EXPECT_THAT(changes->deleted(), ElementsAre(gone));
    ASSERT_TRUE(changes->anchor());
    EXPECT_FALSE(changes->anchor()->empty());

    // What the changes reported is what the next listing shows.
    EXPECT_THAT(this->names(this->list(fp::kRootContainer)), UnorderedElementsAre("stays.txt", "arrives.txt"));
}

}  // namespace
}  // namespace nimbuscrate::testing
