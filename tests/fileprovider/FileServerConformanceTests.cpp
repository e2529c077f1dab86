// What every file server the extension runs on must do alike: the fake the
// extension's tests stand on, and the real client against the local
// service's WebDAV server on 127.0.0.1. Listings are left out: the fake's
// are set by each test, not made from what it holds.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include "fileprovider/FileServer.h"
#include "fileprovider/OcisFileServer.h"
#include "shared/session/DesktopError.h"
#include "tests/fileprovider/FakeFileServer.h"
#include "tests/support/ExtensionServicesFixture.h"
#include "tests/support/LocalServiceFixture.h"

namespace nimbuscrate::testing {
namespace {

class FakeImplementation : public ::testing::Test {
protected:
    FakeImplementation() : scratch_(makeTemporaryDirectory("nc-conformance-fake")) {}
    ~FakeImplementation() override {
        std::error_code ignored;
        std::filesystem::remove_all(scratch_, ignored);
    }
    FileServer& server() { return server_; }

private:
    std::filesystem::path scratch_;
    FakeFileServer server_{scratch_ / "server"};
};

class RealImplementation : public ExtensionServicesFixture {
protected:
    FileServer& server() { return server_; }

private:
    OcisFileServer server_{client_};
};

template <class Implementation>
class FileServerConformance : public Implementation {
protected:
    ~FileServerConformance() override {
        std::error_code ignored;
        std::filesystem::remove_all(local_, ignored);
    }

    FileServer& s() { return this->server(); }
    RemoteItem fetch(const std::string& path) { return s().fetchItem(path, "the-parent", {}); }

    std::filesystem::path localFile(const std::string& name, const std::string& contents) {
        auto path = local_ / name;
        writeFile(path, contents);
        return path;
    }
    RemoteItem upload(const std::string& path, const std::string& contents, FileServer::UploadMode mode) {
        return s().uploadFile(localFile("upload", contents), path, Date::fromUnixSeconds(1'600'000'000), mode, {});
    }

    // The HTTP status the call was refused with (0: not refused that way).
    static long refusal(const std::function<void()>& call) {
        try {
            call();
        } catch (const DesktopError& error) {
            if (error.kind() == DesktopError::Kind::server) return error.status();
            ADD_FAILURE() << "refused with " << error.what();
            return 0;
        }
        ADD_FAILURE() << "not refused";
        return 0;
    }
    // Whether the server holds nothing at the path.
    bool gone(const std::string& path) {
        try {
            fetch(path);
            return false;
        } catch (const DesktopError&) {
            return true;
        }
    }

    std::filesystem::path local_ = makeTemporaryDirectory("nc-conformance-local");
};

using Implementations = ::testing::Types<FakeImplementation, RealImplementation>;

class ImplementationNames {
public:
    template <class T>
    static std::string GetName(int) {
        return std::is_same_v<T, FakeImplementation> ? "Fake" : "Real";
    }
};

TYPED_TEST_SUITE(FileServerConformance, Implementations, ImplementationNames);

TYPED_TEST(FileServerConformance, CreatesFoldersAndFilesAndDescribesThem) {
    this->s().createFolder("/Docs", {});
    this->s().createEmptyFile("/Docs/empty.txt", {});
    auto uploaded = this->upload("/Docs/a b.txt", "written", FileServer::UploadMode::createOnly);

    auto folder = this->fetch("/Docs");
    EXPECT_TRUE(folder.isDirectory);
    EXPECT_EQ(folder.name, "Docs");
    EXPECT_EQ(folder.path, "/Docs");
    EXPECT_EQ(folder.parentID, "the-parent");
    EXPECT_FALSE(folder.id.empty());

    auto empty = this->fetch("/Docs/empty.txt");
    EXPECT_FALSE(empty.isDirectory);
    EXPECT_EQ(empty.size, 0);
    EXPECT_EQ(empty.name, "empty.txt");

    EXPECT_FALSE(uploaded.isDirectory);
    EXPECT_EQ(uploaded.path, "/Docs/a b.txt");
    EXPECT_EQ(uploaded.name, "a b.txt");
    EXPECT_EQ(uploaded.size, 7);
    auto fetched = this->fetch("/Docs/a b.txt");
    EXPECT_EQ(fetched.id, uploaded.id);
    EXPECT_EQ(fetched.etag, uploaded.etag);
    EXPECT_EQ(fetched.size, 7);
    EXPECT_NE(fetched.id, folder.id);
    EXPECT_NE(fetched.id, empty.id);
}

TYPED_TEST(FileServerConformance, ReplacingContentsKeepsTheItemAndChangesItsTag) {
    auto first = this->upload("/f.txt", "old", FileServer::UploadMode::createOnly);
    auto second = this->upload("/f.txt", "new contents", FileServer::UploadMode::replace);
    EXPECT_EQ(second.id, first.id);
    EXPECT_NE(second.etag, first.etag);
    EXPECT_EQ(second.size, 12);
    EXPECT_EQ(this->fetch("/f.txt").size, 12);
}

TYPED_TEST(FileServerConformance, CreatesNeverReplaceWhatIsThere) {
    this->upload("/taken.txt", "theirs", FileServer::UploadMode::createOnly);
    this->s().createFolder("/Taken", {});
    struct Case {
        const char* name;
        std::function<void()> call;
        long status;
    };
    auto* self = this;
    const Case cases[] = {
        {"upload over a file", [self] { self->upload("/taken.txt", "mine", FileServer::UploadMode::createOnly); }, 412},
        {"empty file over a file", [self] { self->s().createEmptyFile("/taken.txt", {}); }, 412},
        {"upload over a folder", [self] { self->upload("/Taken", "mine", FileServer::UploadMode::createOnly); }, 405},
        {"empty file over a folder", [self] { self->s().createEmptyFile("/Taken", {}); }, 405},
        {"folder over a folder", [self] { self->s().createFolder("/Taken", {}); }, 405},
        {"folder over a file", [self] { self->s().createFolder("/taken.txt", {}); }, 405},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(this->refusal(row.call), row.status);
    }
    EXPECT_EQ(this->fetch("/taken.txt").size, 6);
    EXPECT_TRUE(this->fetch("/Taken").isDirectory);
}

TYPED_TEST(FileServerConformance, MovesAndRenamesWithoutReplacing) {
    this->s().createFolder("/Dest", {});
    auto item = this->upload("/old.txt", "kept", FileServer::UploadMode::createOnly);
    this->upload("/Dest/taken.txt", "theirs", FileServer::UploadMode::createOnly);
    auto dest = this->fetch("/Dest");
    dest.parentID = "root";

    auto renamed = this->s().moveItem(item, RemoteItem::root(), "new.txt", {});
    EXPECT_EQ(renamed.path, "/new.txt");
    EXPECT_EQ(renamed.name, "new.txt");
    EXPECT_EQ(renamed.id, item.id);
    EXPECT_TRUE(this->gone("/old.txt"));

    auto moved = this->s().moveItem(renamed, dest, "new.txt", {});
    EXPECT_EQ(moved.path, "/Dest/new.txt");
    EXPECT_EQ(moved.parentID, dest.id);
    EXPECT_EQ(moved.id, item.id);
    EXPECT_EQ(this->fetch("/Dest/new.txt").size, 4);
    EXPECT_TRUE(this->gone("/new.txt"));

    EXPECT_EQ(this->refusal([&] { this->s().moveItem(moved, dest, "taken.txt", {}); }), 412);
    EXPECT_EQ(this->fetch("/Dest/taken.txt").size, 6);
    EXPECT_EQ(this->fetch("/Dest/new.txt").size, 4);

    // A folder takes what is inside it along.
    auto renamedFolder = this->s().moveItem(dest, RemoteItem::root(), "Renamed", {});
    EXPECT_EQ(renamedFolder.path, "/Renamed");
    EXPECT_EQ(renamedFolder.id, dest.id);
    EXPECT_TRUE(this->gone("/Dest"));
    EXPECT_EQ(this->fetch("/Renamed/new.txt").id, item.id);
    EXPECT_EQ(this->fetch("/Renamed/taken.txt").size, 6);
}

TYPED_TEST(FileServerConformance, DeletesAFolderWithWhatIsInIt) {
    this->s().createFolder("/Folder", {});
    this->upload("/Folder/inside.txt", "x", FileServer::UploadMode::createOnly);
    this->upload("/stays.txt", "y", FileServer::UploadMode::createOnly);
    this->s().deleteItem(this->fetch("/Folder"), {});
    EXPECT_TRUE(this->gone("/Folder"));
    EXPECT_TRUE(this->gone("/Folder/inside.txt"));
    EXPECT_FALSE(this->gone("/stays.txt"));
}

TYPED_TEST(FileServerConformance, AMissingPathIsRefused) {
    EXPECT_EQ(this->refusal([&] { this->fetch("/no-such-file"); }), 404);
}

}  // namespace
}  // namespace nimbuscrate::testing
