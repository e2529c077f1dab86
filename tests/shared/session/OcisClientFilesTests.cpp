// Folder listings, item fetches, transfers, moves and deletes of the
// file-server client against the local service's WebDAV server.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <thread>

#include "platform/core/PlatformError.h"
#include "platform/defaults/Defaults.h"
#include "platform/log/LogCapture.h"
#include "shared/encryption/E2EEError.h"
#include "shared/session/DesktopError.h"
#include "shared/session/OcisClient.h"
#include "shared/session/PlainOnlyDriveService.h"
#include "tests/support/LocalServiceFixture.h"

namespace nimbuscrate {
namespace {

using localservice::Route;
using testing::kTinyPNG;
using testing::readFile;
using testing::writeFile;
using namespace std::chrono_literals;

const std::string kWeb = NIMBUSCRATE_WEBAPP_HOST;
const std::string kBlob = "0a1b2c3d-0000-4000-8000-00000000000a-1b2c3d4e-1111-4111-8111-11111111111b.nbenc";
// A PNG whose header claims 100000 × 100000 pixels.
const std::string kHugePNG(
    "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x01\x86\xa0\x00\x01\x86\xa0\x08\x00"
    "\x00\x00\x00\x8d\x39\x54\x14\x00\x00\x00\x0c\x49\x44\x41\x54\x78\x9c\x63\x60\xa0\x0c\x00\x00\x00\x40\x00"
    "\x01\xb7\x34\x7c\xef\x00\x00\x00\x00\x49\x45\x4e\x44\xae\x42\x60\x82",
    69);

// Points the process's temporary directory (TMPDIR) at another folder while it lives.
class TemporaryDirectoryOverride {
public:
    explicit TemporaryDirectoryOverride(const std::filesystem::path& directory) {
        if (const char* old = std::getenv("TMPDIR")) previous_ = old;
        ::setenv("TMPDIR", directory.c_str(), 1);
    }
    ~TemporaryDirectoryOverride() {
        if (previous_) {
            ::setenv("TMPDIR", previous_->c_str(), 1);
        } else {
            ::unsetenv("TMPDIR");
        }
    }
    TemporaryDirectoryOverride(const TemporaryDirectoryOverride&) = delete;
    TemporaryDirectoryOverride& operator=(const TemporaryDirectoryOverride&) = delete;

private:
    std::optional<std::string> previous_;
};

std::vector<std::string> names(const std::vector<RemoteItem>& items) {
    std::vector<std::string> out;
    for (const auto& item : items) out.push_back(item.name);
    return out;
}

// Encrypted children a test hands the listing, and a policy answer.
class ScriptedEncryption final : public testing::ForwardingDriveService {
public:
    std::vector<RemoteItem> encryptedChildren;
    bool required = false;
    int listings = 0;

    bool isEncryptionRequired(std::stop_token) override { return required; }
    std::vector<RemoteItem> listEncryptedChildren(const RemoteItem&, std::stop_token) override {
        ++listings;
        return encryptedChildren;
    }
};

class OcisClientFilesTest : public testing::LocalServiceFixture {
protected:
    OcisClientFilesTest()
        : data(testing::makeTemporaryDirectory("nc-ocis-files")),
          mappingStore(data / "container"),
          defaults(data / "group.json"),
          uploads(std::make_shared<UploadActivityStore>(defaults)) {
        service.addDrive({"d1", "Nimbuscrate", "project", ""});
        session = signIn(3600, DriveSelection{"d1", "Nimbuscrate", *Url::parse(service.webDavUrl("d1"))});
        drive = service.driveDirectory("d1");
    }
    ~OcisClientFilesTest() override {
        std::error_code ignored;
        std::filesystem::remove_all(data, ignored);
    }

    // A PROPFIND reply made by hand, for the odd cases a server may send.
    void replyWithMultistatus(const std::string& responses) {
        service.overrideStatus(Route{"PROPFIND", "", "/dav/spaces/d1"}, 207, 1,
                               "<?xml version=\"1.0\"?><d:multistatus xmlns:d=\"DAV:\" "
                               "xmlns:oc=\"http://owncloud.org/ns\">" + responses + "</d:multistatus>",
                               "application/xml; charset=utf-8");
    }
    static std::string entry(const std::string& href, const std::string& props) {
        return "<d:response><d:href>" + href + "</d:href><d:propstat><d:prop>" + props +
               "</d:prop><d:status>HTTP/1.1 200 OK</d:status></d:propstat></d:response>";
    }
    static std::string file(const std::string& id, const std::string& name = "") {
        return (id.empty() ? "" : "<oc:fileid>" + id + "</oc:fileid>") +
               (name.empty() ? "" : "<d:displayname>" + name + "</d:displayname>") +
               "<d:getetag>\"e-" + id + "\"</d:getetag><d:getcontentlength>3</d:getcontentlength>"
               "<d:getlastmodified>Tue, 15 Nov 1994 08:12:31 GMT</d:getlastmodified><d:resourcetype/>";
    }
    static std::string folder(const std::string& id) {
        return "<oc:fileid>" + id + "</oc:fileid><d:resourcetype><d:collection/></d:resourcetype>";
    }
    RemoteItem folderItem(const std::string& id, const std::string& path) {
        RemoteItem item;
        item.id = id;
        item.parentID = "root";
        item.path = path;
        item.name = path.substr(path.rfind('/') + 1);
        item.isDirectory = true;
        item.etag = id;
        return item;
    }
    std::size_t davRequests(const char* method) { return service.requests().matching(method, "/dav/").size(); }

    std::filesystem::path data;
    MappingStore mappingStore;
    Defaults defaults;
    std::shared_ptr<UploadActivityStore> uploads;
    std::shared_ptr<ScriptedEncryption> encryption = std::make_shared<ScriptedEncryption>();
    OAuthClient oauth{HttpTransport::shared(), store, clock};
    TokenProvider tokens{store, oauth, clock};
    OcisClient client{store, tokens, OcisClient::Services{encryption, nullptr, &mappingStore, uploads}};
    DesktopSession session;
    std::filesystem::path drive;
};

// ---- Listing ----

TEST_F(OcisClientFilesTest, ListsTheDirectChildrenAndHidesWhatIsNotAnItem) {
    const std::string root = "/dav/spaces/d1";
    replyWithMultistatus(entry(root + "/Docs/", folder("docs")) + entry(root + "/Docs/a.txt", file("a")) +
                         entry(root + "/Docs/sub/", folder("sub")) + entry(root + "/Docs/sub/deep.txt", file("deep")) +
                         entry(root + "/Docs/._a.txt", file("fork")) + entry(root + "/Docs/" + kBlob, file("blob")));
    const auto items = client.listItems(folderItem("docs", "/Docs"));
    ASSERT_EQ(names(items), (std::vector<std::string>{"a.txt", "sub"}));
    EXPECT_EQ(items[0].id, "a");
    EXPECT_EQ(items[0].parentID, "docs");
    EXPECT_EQ(items[0].path, "/Docs/a.txt");
    EXPECT_EQ(items[0].etag, "e-a");
    EXPECT_EQ(items[0].size, 3);
    EXPECT_EQ(items[0].modifiedAt, Date::fromUnixSeconds(784887151));
    EXPECT_TRUE(items[1].isDirectory);
    EXPECT_EQ(encryption->listings, 0) << "only the root and encrypted folders ask for encrypted children";
}

TEST_F(OcisClientFilesTest, EntriesWithoutIdentifierOrDateGetTheirPathAndTheDistantPast) {
    replyWithMultistatus(entry("https://" + kWeb + "/dav/spaces/d1/Docs/a.txt",
                               "<d:resourcetype/><d:getcontentlength>1</d:getcontentlength>"));
    const auto items = client.listItems(folderItem("docs", "/Docs"));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].id, "path:/Docs/a.txt");
    EXPECT_EQ(items[0].etag, "path:/Docs/a.txt");
    EXPECT_EQ(items[0].modifiedAt, Date::distantPast());
    EXPECT_FALSE(items[0].contentType.has_value());
}

TEST_F(OcisClientFilesTest, DuplicatesAndUnsafeEntriesAreDropped) {
    const std::string root = "/dav/spaces/d1";
    replyWithMultistatus(
        entry(root + "/Docs/one.txt", file("same")) + entry(root + "/Docs/two.txt", file("same")) +
        entry(root + "/Docs/a%20b.txt", file("x")) + entry(root + "/Docs/a b.txt", file("y")) +
        entry(root + "/Docs/%2e%2e/escape.txt", file("up")) + entry(root + "/Docs/nul%00.txt", file("nul")) +
        entry(root + "/Docs/renamed.txt", file("slash", "evil/name")) +
        entry(root + "/Docs/dots.txt", file("dots", "..")) + entry(root + "/Docs/root-id", file("root")) +
        entry(root + "/Docs/container", file(".trash-container")) +
        // A child claiming the listed folder's own identifier would rewrite the folder's row.
        entry(root + "/Docs/impostor.txt", file("docs")));
    const auto items = client.listItems(folderItem("docs", "/Docs"));
    EXPECT_EQ(names(items), (std::vector<std::string>{"one.txt", "a b.txt", "renamed.txt", "dots.txt"}));
}

TEST_F(OcisClientFilesTest, BlobsAndForksInARealFolderAreHidden) {
    writeFile(drive / "Docs" / "a.txt", "a");
    writeFile(drive / "Docs" / kBlob, "sealed");
    writeFile(drive / "Docs" / "._a.txt", "fork");
    const RemoteItem docs = client.fetchItem("/Docs", "root");
    // The server does list both...
    const std::string reply = stringOf(client.send("PROPFIND", "/Docs", HttpHeaders{{"Depth", "1"}},
                                                   OcisClient::propfindBody()));
    EXPECT_NE(reply.find(kBlob), std::string::npos) << reply;
    EXPECT_NE(reply.find("._a.txt"), std::string::npos) << reply;
    // ...and the listing shows neither.
    EXPECT_EQ(names(client.listItems(docs)), std::vector<std::string>{"a.txt"});
}

TEST_F(OcisClientFilesTest, NamesThatDifferOnlyByCaseOrUnicodeFormAreAllListedAndTheClashIsLogged) {
    const std::string root = "/dav/spaces/d1";
    const std::pair<std::string, std::string> clashes[] = {
        {"Report.txt", "report.TXT"},
        {"caf\xC3\xA9", "cafe\xCC\x81"},
        // Full lower-casing: capital I with dot above is "i" and a combining dot,
        // and a capital sigma ending a word is final sigma.
        {"\xC4\xB0stanbul", "i\xCC\x87stanbul"},
        {"\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3", "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82"},
    };
    for (const auto& [first, second] : clashes) {
        SCOPED_TRACE(first + " and " + second);
        LogCapture logs;
        replyWithMultistatus(entry(root + "/Docs/1", file("1", first)) + entry(root + "/Docs/2", file("2", second)));
        EXPECT_EQ(names(client.listItems(folderItem("docs", "/Docs"))), (std::vector<std::string>{first, second}));
        EXPECT_EQ(logs.matching("network", "\"" + first + "\" and \"" + second + "\"").size(), 1u);
    }
    // Names that only a one-character-at-a-time mapping would confuse are listed with no clash logged.
    {
        LogCapture logs;
        replyWithMultistatus(entry(root + "/Docs/1", file("1", "\xC4\xB0stanbul")) +
                             entry(root + "/Docs/2", file("2", "istanbul")) +
                             entry(root + "/Docs/3", file("3", "\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3")) +
                             entry(root + "/Docs/4", file("4", "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x83")));
        EXPECT_EQ(client.listItems(folderItem("docs", "/Docs")).size(), 4u);
        EXPECT_TRUE(logs.matching("network", "differ only by case").empty());
    }

    // The same on a real folder of the server.
    writeFile(drive / "Twins" / "Report.txt", "upper");
    writeFile(drive / "Twins" / "report.txt", "lower");
    writeFile(drive / "Twins" / "\xC3\xA9.txt", "composed");
    writeFile(drive / "Twins" / "e\xCC\x81.txt", "decomposed");
    auto listed = names(client.listItems(client.fetchItem("/Twins", "root")));
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::string>{"Report.txt", "e\xCC\x81.txt", "report.txt", "\xC3\xA9.txt"}));

    // An encrypted child and a plain one at the root that differ only by case are both listed.
    writeFile(drive / "Notes.txt", "n");
    RemoteItem encrypted;
    encrypted.id = "e2ee:acct:node";
    encrypted.name = "notes.txt";
    encryption->encryptedChildren = {encrypted};
    EXPECT_EQ(client.listItems(RemoteItem::root()).size(), 3u);
}

TEST_F(OcisClientFilesTest, TheSameNameTwiceAtTheRootFailsTheWholeListing) {
    writeFile(drive / "Notes.txt", "n");
    RemoteItem encrypted;
    encrypted.id = "e2ee:acct:node";
    encrypted.name = "Notes.txt";
    encryption->encryptedChildren = {encrypted};
    try {
        client.listItems(RemoteItem::root());
        ADD_FAILURE() << "an encrypted and a plain child of the same name at the root";
    } catch (const E2EEError& error) {
        EXPECT_EQ(error.kind(), E2EEError::Case::conflict);
    }
}

TEST_F(OcisClientFilesTest, TheRootListsEncryptedChildrenFirstAndEncryptedFoldersSendNoRequest) {
    writeFile(drive / "Readme.txt", "hello");
    std::filesystem::create_directories(drive / "Photos");
    RemoteItem encrypted;
    encrypted.id = "e2ee:acct:node";
    encrypted.parentID = "root";
    encrypted.path = "/Secret";
    encrypted.name = "Secret";
    encryption->encryptedChildren = {encrypted};

    const auto items = client.listItems(RemoteItem::root());
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].id, "e2ee:acct:node");
    std::vector<std::string> plain{items[1].name, items[2].name};
    std::sort(plain.begin(), plain.end());
    EXPECT_EQ(plain, (std::vector<std::string>{"Photos", "Readme.txt"}));
    for (std::size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(items[i].parentID, "root");
        EXPECT_EQ(items[i].id, *service.fileId("d1", items[i].path)) << "the server's file id";
    }

    const std::size_t before = davRequests("PROPFIND");
    const auto inside = client.listItems(encrypted);
    EXPECT_EQ(inside.size(), 1u);
    EXPECT_EQ(davRequests("PROPFIND"), before);
}

TEST_F(OcisClientFilesTest, ARootThatVanishedIsRediscoveredOnceAndListedAgain) {
    writeFile(drive / "Readme.txt", "hello");
    storeSession(DesktopSession{session.tokens,
                                DriveSelection{"gone", "Old", *Url::parse("https://" + kWeb + "/dav/spaces/gone")},
                                session.sessionID});
    LogCapture logs;
    const auto items = client.listItems(RemoteItem::root());
    EXPECT_EQ(names(items), std::vector<std::string>{"Readme.txt"});
    EXPECT_EQ(logs.matching("network", "Saved WebDAV root returned 404; rediscovering the active space").size(), 1u);
    const auto stored = storedSession();
    ASSERT_TRUE(stored && stored->drive);
    EXPECT_EQ(stored->drive->id, "d1");
    EXPECT_EQ(stored->sessionID, session.sessionID);

    // A 404 below the root is never retried.
    service.overrideStatus(Route{"PROPFIND", "", "/dav/spaces/"}, 404, 1);
    EXPECT_THROW(client.listItems(folderItem("docs", "/Docs")), DesktopError);
    EXPECT_EQ(logs.matching("network", "rediscovering").size(), 1u);
}

TEST_F(OcisClientFilesTest, ASecond404OnTheRootReachesTheCaller) {
    storeSession(DesktopSession{session.tokens,
                                DriveSelection{"gone", "Old", *Url::parse("https://" + kWeb + "/dav/spaces/gone")},
                                session.sessionID});
    // The probe of the rediscovery waits at the gate; the root it finds
    // answers 404 from then on.
    auto probe = service.hold(Route{"PROPFIND", "", "/dav/spaces/d1"});
    std::exception_ptr outcome;
    std::thread listing([&] {
        try {
            client.listItems(RemoteItem::root());
        } catch (...) {
            outcome = std::current_exception();
        }
    });
    ASSERT_TRUE(probe->waitForArrivals(1, 10s));
    service.overrideStatus(Route{"PROPFIND", "", "/dav/spaces/d1"}, 404, 5);
    probe->open();
    listing.join();
    ASSERT_TRUE(outcome);
    try {
        std::rethrow_exception(outcome);
    } catch (const DesktopError& error) {
        EXPECT_EQ(error.status(), 404);
    }
    EXPECT_EQ(service.requests().matching("GET", "/graph/").size(), 1u) << "one rediscovery only";
}

TEST_F(OcisClientFilesTest, MalformedRepliesFailWithoutAPartialListing) {
    const char* bodies[] = {
        "<d:multistatus xmlns:d=\"DAV:\"><d:response><d:href>/dav/spaces/d1/Docs/a</d:href>",
        "not xml at all",
        "<!DOCTYPE x [<!ENTITY a \"aaaa\">]><d:multistatus xmlns:d=\"DAV:\">&a;</d:multistatus>",
    };
    for (const char* body : bodies) {
        service.overrideStatus(Route{"PROPFIND", "", "/dav/spaces/d1"}, 207, 1, body, "application/xml");
        try {
            client.listItems(folderItem("docs", "/Docs"));
            ADD_FAILURE() << body;
        } catch (const PlatformError& error) {
            EXPECT_EQ(error.domain(), kXMLParserErrorDomain) << body;
        } catch (const DesktopError& error) {
            EXPECT_EQ(error.kind(), DesktopError::Kind::invalidResponse) << body;
        }
    }
}

TEST_F(OcisClientFilesTest, FetchItemNamesTheItemAfterTheRequestedPath) {
    replyWithMultistatus(entry("/somewhere/else", "<oc:fileid>f1</oc:fileid><d:resourcetype/>"));
    const RemoteItem item = client.fetchItem("/Docs//report.pdf", "docs");
    EXPECT_EQ(item.id, "f1");
    EXPECT_EQ(item.name, "report.pdf");
    EXPECT_EQ(item.path, "/Docs/report.pdf");
    EXPECT_EQ(item.parentID, "docs");

    replyWithMultistatus("");
    try {
        client.fetchItem("/Docs/report.pdf", "docs");
        FAIL();
    } catch (const DesktopError& error) {
        EXPECT_EQ(error.kind(), DesktopError::Kind::invalidResponse);
    }
}

// ---- Transfers ----

TEST_F(OcisClientFilesTest, DownloadsIntoANewFolderEachTime) {
    std::string contents(300000, 'd');
    contents += "end";
    writeFile(drive / "Docs" / "report.pdf", contents);
    RemoteItem item = client.fetchItem("/Docs/report.pdf", "docs");
    bool completed = false;
    const auto first = client.downloadFile(item, [&] { completed = true; });
    const auto second = client.downloadFile(item);
    EXPECT_TRUE(completed);
    EXPECT_EQ(first.filename(), "report.pdf");
    EXPECT_EQ(readFile(first), contents);
    EXPECT_NE(first.parent_path(), second.parent_path());
    EXPECT_EQ(first.parent_path().parent_path(), std::filesystem::temp_directory_path());
    const auto gets = service.requests().matching("GET", "/dav/");
    ASSERT_EQ(gets.size(), 2u);
    EXPECT_EQ(gets[0].header("Accept"), "application/octet-stream");
    EXPECT_EQ(gets[0].header("User-Agent"), "Nimbuscrate-macOS/1.1");

    // A hostile name never leaves the download's own folder.
    item.name = "../../escape";
    const auto safe = client.downloadFile(item);
    EXPECT_EQ(safe.filename(), "report.pdf");
    for (const auto& path : {first, second, safe}) std::filesystem::remove_all(path.parent_path());

    // An error leaves nothing behind: neither the download's folder nor the
    // partial file that held the error reply. The temporary directory is a
    // private one meanwhile, so nothing else writes there.
    item.path = "/Docs/missing.pdf";
    const std::filesystem::path scratch = data / "tmp";
    std::filesystem::create_directories(scratch);
    {
        const TemporaryDirectoryOverride privateTemporary(scratch);
        ASSERT_EQ(std::filesystem::temp_directory_path(), scratch);
        try {
            client.downloadFile(item);
            FAIL();
        } catch (const DesktopError& error) {
            EXPECT_EQ(error.status(), 404);
        }
    }
    EXPECT_TRUE(std::filesystem::is_empty(scratch));
}

TEST_F(OcisClientFilesTest, ThumbnailsAreRequestedForTheItemAndReturnedAsPNG) {
    writeFile(drive / "Photos" / "a+b.png", kTinyPNG);
    RemoteItem item = client.fetchItem("/Photos/a+b.png", "photos");
    item.etag = "\"abc\"";
    LogCapture logs;
    const auto png = client.fetchThumbnail(item);
    ASSERT_TRUE(png);
    ASSERT_GE(png->size(), 8u);
    EXPECT_EQ(std::string(png->begin(), png->begin() + 4), "\x89PNG");
    EXPECT_EQ(logs.matching("thumbnails", "Thumbnail ready for a+b.png, pngBytes=").size(), 1u);

    const auto seen = service.requests().matching("GET", "/v1/thumbnail");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].host, NIMBUSCRATE_MEDIA_HOST);
    EXPECT_EQ(seen[0].queryValue("source"), "/spaces/d1/Photos/a+b.png") << seen[0].target;
    std::string target = seen[0].target;
    for (char& c : target) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_NE(target.find("%2b"), std::string::npos) << "a plus sign must not reach the server as a space: "
                                                     << seen[0].target;
    EXPECT_EQ(seen[0].queryValue("size"), "256");
    EXPECT_EQ(seen[0].queryValue("crop"), "0");
    EXPECT_EQ(seen[0].queryValue("v"), "abc");
    EXPECT_EQ(seen[0].header("Accept"), "image/webp,image/*");
    EXPECT_EQ(seen[0].header("User-Agent"), "Nimbuscrate-macOS/1.1");
    EXPECT_EQ(OcisClient::makeThumbnailRequest(item, "d1", "t").timeoutSeconds, 30);
}

TEST_F(OcisClientFilesTest, ThumbnailsThatAreNotImagesFail) {
    RemoteItem item = client.fetchItem("/", "root");
    item.isDirectory = false;
    item.path = "/Photos/a.png";
    item.name = "a.png";
    const Route thumbnail{"GET", "", "/v1/thumbnail"};
    struct Case {
        const char* name;
        std::string body;
        const char* logged;
    };
    const Case cases[] = {
        {"not an image", "<html>nope</html>", "Thumbnail decode failed for a.png, bytes=17"},
        {"empty", "", nullptr},
        // A header that claims 100000 × 100000 pixels is refused before decoding.
        {"too many pixels", kHugePNG, "Thumbnail too large for a.png"},
    };
    for (const Case& c : cases) {
        service.overrideStatus(thumbnail, 200, 1, c.body, "image/png");
        LogCapture logs;
        try {
            client.fetchThumbnail(item);
            ADD_FAILURE() << c.name;
        } catch (const DesktopError& error) {
            EXPECT_EQ(error.kind(), DesktopError::Kind::invalidResponse) << c.name;
        }
        if (c.logged) {
            EXPECT_EQ(logs.matching("thumbnails", c.logged).size(), 1u) << c.name;
        }
    }

    RemoteItem folder = item;
    folder.isDirectory = true;
    try {
        client.fetchThumbnail(folder);
        ADD_FAILURE() << "a folder has no thumbnail";
    } catch (const DesktopError& error) {
        EXPECT_EQ(error.kind(), DesktopError::Kind::invalidResponse);
    }
    RemoteItem blob = item;
    blob.path = "/Photos/" + kBlob;
    try {
        client.fetchThumbnail(blob);
        FAIL();
    } catch (const DesktopError& error) {
        EXPECT_EQ(error.kind(), DesktopError::Kind::encryptionRequired);
    }
    EXPECT_EQ(service.requests().matching("GET", "/v1/thumbnail").size(), 3u);
}

TEST_F(OcisClientFilesTest, UploadsWithTheModificationTimeAndRecordsTheItem) {
    const auto local = data / "local.txt";
    writeFile(local, "uploaded contents");
    std::filesystem::create_directories(drive / "a");
    const Date modified = Date::fromUnixSeconds(1700000000.75);
    LogCapture logs;
    const RemoteItem item = client.uploadFile(local, "/a/b.txt", modified);
    EXPECT_EQ(item.path, "/a/b.txt");
    EXPECT_EQ(item.parentID, "root") << "no row for /a in the mapping database";
    EXPECT_EQ(item.id, *service.fileId("d1", "/a/b.txt"));
    EXPECT_EQ(readFile(drive / "a" / "b.txt"), "uploaded contents");
    struct stat info {};
    ASSERT_EQ(::stat((drive / "a" / "b.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtime, 1700000000);
    EXPECT_TRUE(logs.matching("network", "did not confirm").empty());
    EXPECT_EQ(mappingStore.item(item.id), item);
    EXPECT_EQ(uploads->activeOperations(), 0u);

    const auto puts = service.requests().matching("PUT", "/dav/");
    ASSERT_EQ(puts.size(), 1u);
    EXPECT_EQ(puts[0].header("X-OC-MTIME"), "1700000000");
    EXPECT_EQ(puts[0].header("Content-Type"), "application/octet-stream");
    EXPECT_FALSE(puts[0].headers.has("If-None-Match"));

    // Without a date: no header and no confirmation line.
    client.uploadFile(local, "/a/c.txt", std::nullopt);
    EXPECT_FALSE(service.requests().matching("PUT", "/dav/").back().headers.has("X-OC-MTIME"));
    EXPECT_TRUE(logs.matching("network", "did not confirm").empty());

    // A parent the mapping database knows gives its identifier.
    mappingStore.upsert(folderItem("folder-a", "/a"));
    EXPECT_EQ(client.uploadFile(local, "/a/d.txt", std::nullopt).parentID, "folder-a");

    // Create-only never replaces.
    try {
        client.uploadFile(local, "/a/b.txt", std::nullopt, true);
        FAIL();
    } catch (const DesktopError& error) {
        EXPECT_EQ(error.status(), 412);
    }
    EXPECT_EQ(uploads->activeOperations(), 0u);
}

TEST_F(OcisClientFilesTest, AnUploadTheServerDoesNotConfirmIsLogged) {
    const auto local = data / "local.txt";
    writeFile(local, "x");
    writeFile(drive / "n.txt", "x");
    service.overrideStatus(Route{"PUT", "", "/dav/"}, 201, 1, "");
    LogCapture logs;
    client.uploadFile(local, "/n.txt", Date::fromUnixSeconds(5));
    EXPECT_EQ(logs.matching("network", "Server did not confirm the requested modification time for /n.txt").size(), 1u);
}

TEST_F(OcisClientFilesTest, WritesToAnAccountThatRequiresEncryptionSendNothing) {
    const auto local = data / "local.txt";
    writeFile(local, "x");
    writeFile(drive / "x.txt", "x");
    encryption->required = true;
    const RemoteItem item = client.fetchItem("/x.txt", "root");
    for (const auto& attempt : std::vector<std::function<void()>>{
             [&] { client.uploadFile(local, "/y.txt", std::nullopt); },
             [&] { client.moveItem(item, RemoteItem::root(), "z.txt"); },
             [&] { client.deleteItem(item); },
         }) {
        try {
            attempt();
            ADD_FAILURE();
        } catch (const DesktopError& error) {
            EXPECT_EQ(error.kind(), DesktopError::Kind::encryptionRequired);
        }
    }
    EXPECT_EQ(davRequests("PUT") + davRequests("MOVE") + davRequests("DELETE"), 0u);
    EXPECT_EQ(uploads->activeOperations(), 0u) << "the upload token is finished on failure";
}

TEST_F(OcisClientFilesTest, MovesKeepTheServerIdentityAndUpdateTheMapping) {
    writeFile(drive / "x.txt", "x");
    const RemoteItem item = client.fetchItem("/x.txt", "root");
    mappingStore.upsert(item);
    const RemoteItem moved = client.moveItem(item, RemoteItem::root(), "y.txt");
    EXPECT_EQ(moved.path, "/y.txt");
    EXPECT_EQ(moved.name, "y.txt");
    EXPECT_EQ(moved.id, item.id) << "oc:fileid stays with the file";
    EXPECT_TRUE(std::filesystem::exists(drive / "y.txt"));
    EXPECT_FALSE(std::filesystem::exists(drive / "x.txt"));
    EXPECT_EQ(mappingStore.item(moved.id), moved);

    const auto moves = service.requests().matching("MOVE", "/dav/");
    ASSERT_EQ(moves.size(), 1u);
    EXPECT_EQ(moves[0].path, "/dav/spaces/d1/x.txt");
    EXPECT_EQ(moves[0].header("Destination"), service.webDavUrl("d1") + "/y.txt");
    EXPECT_EQ(moves[0].header("Overwrite"), "F");

    // Into a folder: the row follows, under the folder.
    std::filesystem::create_directories(drive / "Docs");
    const RemoteItem docs = client.fetchItem("/Docs", "root");
    const RemoteItem intoDocs = client.moveItem(moved, docs, "z.txt");
    EXPECT_EQ(intoDocs.path, "/Docs/z.txt");
    EXPECT_EQ(intoDocs.id, item.id);
    EXPECT_EQ(intoDocs.parentID, docs.id);
    EXPECT_EQ(mappingStore.item(item.id), intoDocs);
    EXPECT_FALSE(mappingStore.itemAtPath("/y.txt"));

    // Never over an existing target, never into an encrypted folder.
    writeFile(drive / "w.txt", "w");
    const RemoteItem w = client.fetchItem("/w.txt", "root");
    try {
        client.moveItem(w, docs, "z.txt");
        FAIL();
    } catch (const DesktopError& error) {
        EXPECT_EQ(error.status(), 412);
    }
    RemoteItem encryptedFolder = docs;
    encryptedFolder.id = "e2ee:acct:folder";
    try {
        client.moveItem(w, encryptedFolder, "w.txt");
        FAIL();
    } catch (const DesktopError& error) {
        EXPECT_EQ(error.kind(), DesktopError::Kind::encryptionRequired);
    }
    // Nor to a name that is no single component, or one the listings would hide.
    for (const std::string& name : {std::string("sub/z.txt"), std::string(".."), std::string("._w.txt"), kBlob}) {
        try {
            client.moveItem(w, docs, name);
            ADD_FAILURE() << name;
        } catch (const DesktopError& error) {
            EXPECT_EQ(error.kind(), DesktopError::Kind::invalidResponse) << name;
        }
    }
    EXPECT_EQ(service.requests().matching("MOVE", "/dav/").size(), 3u) << "refused names send nothing";
    EXPECT_TRUE(std::filesystem::exists(drive / "w.txt"));
}

TEST_F(OcisClientFilesTest, AMovedFolderKeepsItsIdentityAndItsOldChildRowsLeaveTheMapping) {
    writeFile(drive / "Src" / "c.txt", "c");
    std::filesystem::create_directories(drive / "Docs");
    const RemoteItem src = client.fetchItem("/Src", "root");
    const RemoteItem docs = client.fetchItem("/Docs", "root");
    const auto children = client.listItems(src);
    ASSERT_EQ(children.size(), 1u);
    mappingStore.upsert(src);
    mappingStore.upsert(docs);
    mappingStore.upsert(children[0]);

    const RemoteItem moved = client.moveItem(src, docs, "Dest");
    EXPECT_EQ(moved.id, src.id) << "oc:fileid stays with the folder";
    EXPECT_EQ(moved.path, "/Docs/Dest");
    EXPECT_EQ(moved.parentID, docs.id);
    EXPECT_TRUE(moved.isDirectory);
    EXPECT_EQ(readFile(drive / "Docs" / "Dest" / "c.txt"), "c");
    EXPECT_FALSE(std::filesystem::exists(drive / "Src"));

    EXPECT_EQ(mappingStore.item(src.id), moved);
    EXPECT_FALSE(mappingStore.item(children[0].id)) << "the child's row under the old path is gone";
    EXPECT_FALSE(mappingStore.itemAtPath("/Src/c.txt"));
    // Listed again, the child is the same server item at its new path.
    const auto relisted = client.listItems(moved);
    ASSERT_EQ(relisted.size(), 1u);
    EXPECT_EQ(relisted[0].id, children[0].id);
    EXPECT_EQ(relisted[0].path, "/Docs/Dest/c.txt");
}

TEST_F(OcisClientFilesTest, FoldersAreCreatedWithMkcolThroughTheRequestCore) {
    client.send("MKCOL", "/New folder", {}, std::nullopt);
    EXPECT_TRUE(std::filesystem::is_directory(drive / "New folder"));
    const RemoteItem created = client.fetchItem("/New folder", "root");
    EXPECT_TRUE(created.isDirectory);
    EXPECT_EQ(created.id, *service.fileId("d1", "/New folder"));
    // A second MKCOL of the same path is the server's refusal.
    try {
        client.send("MKCOL", "/New folder", {}, std::nullopt);
        FAIL();
    } catch (const DesktopError& error) {
        EXPECT_EQ(error.kind(), DesktopError::Kind::server);
        EXPECT_EQ(error.status(), 405);
    }
}

TEST_F(OcisClientFilesTest, DeletesRemoveTheItemAndItsChildRows) {
    writeFile(drive / "Docs" / "a.txt", "a");
    const RemoteItem docs = client.fetchItem("/Docs", "root");
    const auto children = client.listItems(docs);
    ASSERT_EQ(children.size(), 1u);
    mappingStore.upsert(docs);
    mappingStore.upsert(children[0]);
    client.deleteItem(docs);
    EXPECT_FALSE(std::filesystem::exists(drive / "Docs"));
    EXPECT_FALSE(mappingStore.item(docs.id));
    EXPECT_FALSE(mappingStore.item(children[0].id));
}

TEST_F(OcisClientFilesTest, DeletingWhatIsNoLongerThereIsAMissingItemAndForgetsIt) {
    writeFile(drive / "gone.txt", "g");
    const RemoteItem gone = client.fetchItem("/gone.txt", "root");
    mappingStore.upsert(gone);
    std::filesystem::remove(drive / "gone.txt");
    try {
        client.deleteItem(gone);
        ADD_FAILURE();
    } catch (const DesktopError& error) {
        EXPECT_EQ(error.kind(), DesktopError::Kind::missingItem);
    }
    EXPECT_FALSE(mappingStore.item(gone.id));
    // Any other refusal stays what it is.
    writeFile(drive / "kept.txt", "k");
    const RemoteItem kept = client.fetchItem("/kept.txt", "root");
    mappingStore.upsert(kept);
    service.overrideStatus(Route{"DELETE", "", "/dav/"}, 403, 1, "");
    try {
        client.deleteItem(kept);
        ADD_FAILURE();
    } catch (const DesktopError& error) {
        EXPECT_EQ(error.kind(), DesktopError::Kind::server);
        EXPECT_EQ(error.status(), 403);
    }
    EXPECT_TRUE(mappingStore.item(kept.id));
}

TEST_F(OcisClientFilesTest, EncryptedItemsGoToTheEncryptionService) {
    RemoteItem encrypted;
    encrypted.id = "e2ee:acct:node";
    encrypted.path = "/Secret.txt";
    encrypted.name = "Secret.txt";
    for (const auto& attempt : std::vector<std::function<void()>>{
             [&] { client.downloadFile(encrypted); },
             [&] { client.fetchThumbnail(encrypted); },
             [&] { client.moveItem(encrypted, RemoteItem::root(), "x"); },
             [&] { client.deleteItem(encrypted); },
         }) {
        try {
            attempt();
            ADD_FAILURE();
        } catch (const DesktopError& error) {
            EXPECT_EQ(error, DesktopError::missingItem("e2ee:acct:node")) << "the plain-only service knows no such item";
        }
    }
    EXPECT_TRUE(service.requests().matching("", "/dav/").empty());
}

}  // namespace
}  // namespace nimbuscrate
