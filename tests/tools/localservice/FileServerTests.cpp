// The Graph drives listing and the WebDAV file server over a directory on disk.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <set>
#include <thread>

#include "tests/tools/localservice/MultistatusReader.h"
#include "tests/tools/localservice/ServiceFixture.h"

namespace nimbuscrate::localservice::testing {
namespace {


// The body the desktop client sends with every PROPFIND.
const std::string kClientPropfind =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<d:propfind xmlns:d=\"DAV:\" xmlns:oc=\"http://owncloud.org/ns\">\n"
    "  <d:prop><d:displayname/><d:getetag/><d:getcontentlength/><d:getlastmodified/><d:getcontenttype/><d:resourcetype/><oc:fileid/></d:prop>\n"
    "</d:propfind>";

const std::string kDav = "DAV: ";
const std::string kOc = "http://owncloud.org/ns ";
const char* kXml = "Content-Type: application/xml; charset=utf-8";

class localservice_files : public ServiceTest {
protected:
    Reply propfind(const std::string& path, const std::string& depth, const std::string& body = kClientPropfind) {
        std::vector<std::string> headers{bearer(), kXml};
        if (!depth.empty()) headers.push_back("Depth: " + depth);
        return client->send("PROPFIND", davUrl(path), headers, body);
    }
    std::vector<DavEntry> list(const std::string& path, const std::string& depth = "1") {
        auto reply = propfind(path, depth);
        EXPECT_EQ(reply.status, 207) << reply.body;
        auto entries = readMultistatus(reply.body);
        EXPECT_TRUE(entries.has_value()) << reply.body;
        return entries.value_or(std::vector<DavEntry>{});
    }
    std::string idOf(const std::string& path) { return service->fileId("d1", path).value_or(""); }
    Reply move(const std::string& from, const std::string& to, const std::string& overwrite = "F") {
        std::vector<std::string> headers{bearer(), "Destination: " + davUrl(to)};
        if (!overwrite.empty()) headers.push_back("Overwrite: " + overwrite);
        return client->send("MOVE", davUrl(from), headers, "", false);
    }
    Reply put(const std::string& path, const std::string& body, std::vector<std::string> extra = {}) {
        extra.push_back(bearer());
        extra.push_back("Content-Type: application/octet-stream");
        return client->send("PUT", davUrl(path), extra, body);
    }
};

TEST_F(localservice_files, DrivesListingInGraphForm) {
    service->addDrive({"p1", "Me", std::string("personal"), ""});
    service->addDrive({"x1", "Untyped", std::nullopt, "https://" + webAppHost() + "/remote/dav/x1/"});
    auto reply = client->get(webUrl("/graph/v1.0/me/drives"), {bearer()});
    ASSERT_EQ(reply.status, 200);
    auto value = nlohmann::json::parse(reply.body).at("value");
    ASSERT_EQ(value.size(), 3u);
    EXPECT_EQ(value[0]["id"], "d1");
    EXPECT_EQ(value[0]["name"], "Nimbuscrate Team");
    EXPECT_EQ(value[0]["driveType"], "project");
    EXPECT_EQ(value[0]["root"]["webDavUrl"], "https://" + webAppHost() + "/dav/spaces/d1");
    EXPECT_EQ(value[1]["driveType"], "personal");
    EXPECT_FALSE(value[2].contains("driveType"));
    EXPECT_EQ(value[2]["root"]["webDavUrl"], "https://" + webAppHost() + "/remote/dav/x1/");
    EXPECT_EQ(client->send("POST", webUrl("/graph/v1.0/me/drives"), {bearer()}, "").status, 405);
}

TEST_F(localservice_files, InvalidDriveIdsAreRefused) {
    for (const char* id : {"", "..", ".hidden", "a/b", "a b"}) {
        EXPECT_THROW(service->addDrive({id, "x", std::nullopt, ""}), std::invalid_argument) << id;
    }
}

TEST_F(localservice_files, ProbeOfTheRootAnswersOnBothRoots) {
    service->addDrive({"x1", "Custom", std::string("project"), "https://" + webAppHost() + "/remote/dav/x1"});
    for (const auto& url : std::vector<std::string>{webUrl("/dav/spaces/x1/"), webUrl("/remote/dav/x1"), webUrl("/remote/dav/x1/")}) {
        auto reply = client->send("PROPFIND", url, {bearer(), kXml, "Depth: 0"}, kClientPropfind);
        EXPECT_EQ(reply.status, 207) << url;
        auto entries = readMultistatus(reply.body);
        ASSERT_TRUE(entries && entries->size() == 1) << reply.body;
        EXPECT_TRUE(entries->front().isCollection);
        EXPECT_EQ(entries->front().prop(kDav + "displayname"), "Custom");
    }
}

TEST_F(localservice_files, DepthOneListsChildrenWithTheAskedProperties) {
    writeFile("Docs/a.txt", "hello");
    writeFile("Docs/sub/deep.txt", "deep");
    writeFile("Docs/._a.txt", "fork");
    writeFile("Docs/My File.txt", "x");
    const std::string blob = "3f2b8c1a-9d4e-4f6a-8b7c-1d2e3f4a5b6c-7a8b9c0d-1e2f-4a3b-9c4d-5e6f7a8b9c0d.nbenc";
    writeFile("Docs/" + blob, "sealed");
    struct timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
    ::utimensat(AT_FDCWD, onDisk("Docs/a.txt").c_str(), times, 0);

    auto entries = list("/Docs");
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[0].href, "/dav/spaces/d1/Docs/");
    EXPECT_TRUE(entries[0].isCollection);
    // Children in name order; the server lists everything, hiding is the client's job.
    std::vector<std::string> hrefs;
    for (std::size_t i = 1; i < entries.size(); ++i) hrefs.push_back(entries[i].href);
    EXPECT_EQ(hrefs, (std::vector<std::string>{"/dav/spaces/d1/Docs/._a.txt", "/dav/spaces/d1/Docs/" + blob,
                                               "/dav/spaces/d1/Docs/My%20File.txt", "/dav/spaces/d1/Docs/a.txt",
                                               "/dav/spaces/d1/Docs/sub/"}));
    const auto& file = entries[4];
    EXPECT_EQ(file.prop(kDav + "displayname"), "a.txt");
    EXPECT_EQ(file.prop(kDav + "getcontentlength"), "5");
    EXPECT_EQ(file.prop(kDav + "getcontenttype"), "text/plain");
    EXPECT_EQ(file.prop(kDav + "getlastmodified"), "Tue, 14 Nov 2023 22:13:20 GMT");
    ASSERT_TRUE(file.prop(kDav + "getetag"));
    EXPECT_EQ(file.prop(kDav + "getetag")->front(), '"');
    EXPECT_EQ(file.prop(kOc + "fileid"), idOf("/Docs/a.txt"));
    EXPECT_FALSE(file.isCollection);
    EXPECT_EQ(file.found.size(), 7u);  // exactly what was asked
    const auto& folder = entries[5];
    EXPECT_TRUE(folder.isCollection);
    EXPECT_FALSE(folder.prop(kDav + "getcontentlength"));
    EXPECT_EQ(folder.missing.count(kDav + "getcontentlength"), 1u);
    // Every item has its own identifier.
    std::set<std::string> ids;
    for (const auto& entry : entries) ids.insert(entry.prop(kOc + "fileid").value_or(""));
    EXPECT_EQ(ids.size(), entries.size());
    EXPECT_EQ(ids.count(""), 0u);
}

TEST_F(localservice_files, PropfindBodiesAndDepths) {
    writeFile("a.txt", "a");
    struct Case {
        const char* what;
        std::string depth;
        std::string body;
        long status;
    };
    const Case cases[] = {
        {"empty body means all properties", "0", "", 207},
        {"allprop", "0", "<?xml version=\"1.0\"?><propfind xmlns=\"DAV:\"><allprop/></propfind>", 207},
        {"propname", "0", "<?xml version=\"1.0\"?><propfind xmlns=\"DAV:\"><propname/></propfind>", 207},
        {"any prefix", "0", "<x:propfind xmlns:x=\"DAV:\"><x:prop><x:getetag/></x:prop></x:propfind>", 207},
        {"infinite depth", "infinity", kClientPropfind, 403},
        {"no depth means infinite", "", kClientPropfind, 403},
        {"bad depth", "2", kClientPropfind, 400},
        {"not XML", "0", "<d:propfind", 400},
        {"wrong root", "0", "<d:prop xmlns:d=\"DAV:\"/>", 400},
        {"unbound prefix", "0", "<d:propfind><d:prop/></d:propfind>", 400},
        {"prop and allprop", "0", "<propfind xmlns=\"DAV:\"><prop><getetag/></prop><allprop/></propfind>", 400},
        {"entity declarations", "0",
         "<?xml version=\"1.0\"?><!DOCTYPE d [<!ENTITY a \"aaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;\">]>"
         "<propfind xmlns=\"DAV:\"><prop><getetag/></prop></propfind>",
         400},
    };
    for (const auto& c : cases) {
        auto reply = propfind("/a.txt", c.depth, c.body);
        EXPECT_EQ(reply.status, c.status) << c.what << ": " << reply.body;
    }
    auto all = readMultistatus(propfind("/a.txt", "0", "").body);
    ASSERT_TRUE(all && all->size() == 1);
    EXPECT_TRUE(all->front().prop(kOc + "fileid"));
    EXPECT_EQ(all->front().prop(kDav + "getcontentlength"), "1");
}

TEST_F(localservice_files, UnknownPropertiesComeBackAsNotFound) {
    writeFile("a.txt", "a");
    auto reply = propfind("/a.txt", "0",
                          "<d:propfind xmlns:d=\"DAV:\" xmlns:z=\"urn:other\" xmlns:oc=\"http://owncloud.org/ns\">"
                          "<d:prop><d:getetag/><z:colour/><oc:size/><oc:permissions/></d:prop></d:propfind>");
    ASSERT_EQ(reply.status, 207);
    auto entries = readMultistatus(reply.body);
    ASSERT_TRUE(entries && entries->size() == 1);
    EXPECT_EQ(entries->front().missing.count("urn:other colour"), 1u);
    EXPECT_EQ(entries->front().prop(kOc + "size"), "1");
    EXPECT_EQ(entries->front().prop(kOc + "permissions"), "RDNVW");
    EXPECT_EQ(entries->front().found.size(), 3u);

    writeFile("dir/x.bin", std::string(100, 'x'));
    writeFile("dir/deeper/y.bin", std::string(23, 'y'));
    auto folder = readMultistatus(propfind("/dir", "0",
                                           "<d:propfind xmlns:d=\"DAV:\" xmlns:oc=\"http://owncloud.org/ns\">"
                                           "<d:prop><oc:size/><oc:permissions/></d:prop></d:propfind>")
                                      .body);
    ASSERT_TRUE(folder && folder->size() == 1);
    EXPECT_EQ(folder->front().prop(kOc + "size"), "123");
    EXPECT_EQ(folder->front().prop(kOc + "permissions"), "RDNVCK");
}

TEST_F(localservice_files, MissingItemsAndUnsafePaths) {
    struct Case {
        std::string path;
        long status;
    };
    const Case cases[] = {
        {"/missing.txt", 404},
        {"/missing/child", 404},
        {"/a/../../escape", 400},
        {"/%2e%2e/escape", 400},
        {"/./a", 400},
        {"/a%00b", 400},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(propfind(c.path, "0").status, c.status) << c.path;
        EXPECT_EQ(client->get(davUrl(c.path), {bearer()}).status, c.status) << c.path;
    }
    EXPECT_EQ(client->get(webUrl("/dav/spaces/unknown/a.txt"), {bearer()}).status, 404);
}

TEST_F(localservice_files, GetWithRanges) {
    std::string contents = "0123456789";
    writeFile("digits.txt", contents);
    struct Case {
        std::string range;
        long status;
        std::string body;
        std::string contentRange;
    };
    const Case cases[] = {
        {"", 200, contents, ""},
        {"bytes=0-3", 206, "0123", "bytes 0-3/10"},
        {"bytes=7-", 206, "789", "bytes 7-9/10"},
        {"bytes=-3", 206, "789", "bytes 7-9/10"},
        {"bytes=-30", 206, contents, "bytes 0-9/10"},
        {"bytes=8-100", 206, "89", "bytes 8-9/10"},
        {"bytes=10-", 416, "", "bytes */10"},
        {"bytes=-0", 416, "", "bytes */10"},
        {"bytes=0-1,4-5", 200, contents, ""},  // several ranges: the whole file
        {"bytes=5-2", 200, contents, ""},      // malformed: ignored
        {"lines=1-2", 200, contents, ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> headers{bearer()};
        if (!c.range.empty()) headers.push_back("Range: " + c.range);
        auto reply = client->get(davUrl("/digits.txt"), headers);
        EXPECT_EQ(reply.status, c.status) << c.range;
        if (c.status != 416) {
            EXPECT_EQ(reply.body, c.body) << c.range;
        }
        EXPECT_EQ(reply.header("content-range"), c.contentRange) << c.range;
        if (c.status == 200) {
            EXPECT_EQ(reply.header("accept-ranges"), "bytes");
            EXPECT_EQ(reply.header("oc-fileid"), idOf("/digits.txt"));
        }
    }
    auto head = client->send("HEAD", davUrl("/digits.txt"), {bearer()}, "", false);
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.header("content-length"), "10");
    EXPECT_TRUE(head.body.empty());
    EXPECT_EQ(client->get(davUrl("/"), {bearer()}).status, 405);
}

TEST_F(localservice_files, LargeFileStreamsWhole) {
    std::string contents(24 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>((i * 7919) >> 5);
    writeFile("large.bin", contents);
    auto reply = client->get(davUrl("/large.bin"), {bearer()});
    EXPECT_EQ(reply.status, 200);
    EXPECT_TRUE(reply.body == contents);
    auto tail = client->get(davUrl("/large.bin"), {bearer(), "Range: bytes=20000000-"});
    EXPECT_EQ(tail.status, 206);
    EXPECT_TRUE(tail.body == contents.substr(20000000));
}

TEST_F(localservice_files, PutStoresTheFileWithItsModificationTime) {
    auto created = put("/new.txt", "first", {"X-OC-MTIME: 1600000000"});
    EXPECT_EQ(created.status, 201);
    EXPECT_EQ(created.header("x-oc-mtime"), "accepted");
    EXPECT_FALSE(created.header("etag").empty());
    EXPECT_EQ(readFile("new.txt"), "first");
    struct stat status {};
    ASSERT_EQ(::stat(onDisk("new.txt").c_str(), &status), 0);
    EXPECT_EQ(status.st_mtim.tv_sec, 1600000000);
    std::string id = created.header("oc-fileid");
    EXPECT_EQ(id, idOf("/new.txt"));

    // An overwrite keeps the identity; without X-OC-MTIME nothing is confirmed.
    auto replaced = put("/new.txt", "second");
    EXPECT_EQ(replaced.status, 204);
    EXPECT_EQ(replaced.header("x-oc-mtime"), "");
    EXPECT_EQ(readFile("new.txt"), "second");
    EXPECT_EQ(idOf("/new.txt"), id);
    EXPECT_NE(replaced.header("etag"), created.header("etag"));

    auto negative = put("/old.txt", "x", {"X-OC-MTIME: -1"});
    EXPECT_EQ(negative.status, 201);
    ASSERT_EQ(::stat(onDisk("old.txt").c_str(), &status), 0);
    EXPECT_EQ(status.st_mtim.tv_sec, -1);
}

TEST_F(localservice_files, PutRefusals) {
    writeFile("exists.txt", "keep");
    std::filesystem::create_directories(onDisk("folder"));
    struct Case {
        const char* what;
        std::string path;
        std::vector<std::string> headers;
        long status;
    };
    const Case cases[] = {
        {"mtime with a fraction", "/m1.txt", {"X-OC-MTIME: 1.5"}, 400},
        {"mtime not a number", "/m2.txt", {"X-OC-MTIME: soon"}, 400},
        {"mtime with trailing text", "/m3.txt", {"X-OC-MTIME: 12abc"}, 400},
        {"If-None-Match * on an existing file", "/exists.txt", {"If-None-Match: *"}, 412},
        {"If-Match on a missing file", "/m4.txt", {"If-Match: \"abc\""}, 412},
        {"If-Match with a stale tag", "/exists.txt", {"If-Match: \"stale\""}, 412},
        {"missing parent", "/no/such/dir.txt", {}, 409},
        {"onto a folder", "/folder", {}, 405},
        {"onto the root", "/", {}, 405},
        {"partial PUT", "/m5.txt", {"Content-Range: bytes 0-3/10"}, 400},
    };
    for (const auto& c : cases) {
        auto reply = put(c.path, "data", c.headers);
        EXPECT_EQ(reply.status, c.status) << c.what;
    }
    EXPECT_EQ(readFile("exists.txt"), "keep");
    for (const char* name : {"m1.txt", "m2.txt", "m3.txt", "m4.txt", "m5.txt"}) {
        EXPECT_FALSE(std::filesystem::exists(onDisk(name))) << name;
    }
    EXPECT_EQ(put("/fresh.txt", "data", {"If-None-Match: *"}).status, 201);
    // Nothing is left in the spool folder.
    EXPECT_TRUE(std::filesystem::is_empty(service->dataDirectory() / "spool"));
}

TEST_F(localservice_files, PutAcceptsChunkedBodiesAndMatchingTags) {
    auto created = put("/chunked.txt", "chunked body", {"Transfer-Encoding: chunked"});
    EXPECT_EQ(created.status, 201);
    EXPECT_EQ(readFile("chunked.txt"), "chunked body");
    EXPECT_EQ(service->requests().all().back().header("transfer-encoding"), "chunked");
    auto matched = put("/chunked.txt", "next", {"If-Match: " + created.header("etag")});
    EXPECT_EQ(matched.status, 204);
    EXPECT_EQ(readFile("chunked.txt"), "next");
}

TEST_F(localservice_files, NamesXmlCannotCarryAreRefused) {
    for (const char* name : {"bad%FFname.txt", "ctrl%01.txt", "overlong%C0%AF.txt", "surrogate%ED%A0%80.txt"}) {
        EXPECT_EQ(put(std::string("/") + name, "x").status, 400) << name;
        EXPECT_EQ(client->send("MKCOL", davUrl(std::string("/") + name), {bearer()}, "", false).status, 400) << name;
    }
    EXPECT_EQ(put("/caf%C3%A9%20%E2%9C%93.txt", "x").status, 201);
    EXPECT_EQ(put("/a%26b%3Cc%3E%22.txt", "x").status, 201);
    // An unpresentable name made on disk by someone else is left out of listings.
    writeFile(std::string("odd\x01name.txt"), "x");
    auto entries = list("/");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1].prop(kDav + "displayname"), "a&b<c>\".txt");
    EXPECT_EQ(entries[1].href, "/dav/spaces/d1/a%26b%3Cc%3E%22.txt");
    EXPECT_EQ(entries[2].prop(kDav + "displayname"), "caf\xC3\xA9 \xE2\x9C\x93.txt");
}

TEST_F(localservice_files, LargePutIsSpooledAndRenamedIntoPlace) {
    std::string contents(9 * 1024 * 1024, 'z');
    contents.back() = '!';
    EXPECT_EQ(put("/big.bin", contents, {"X-OC-MTIME: 1500000000"}).status, 201);
    EXPECT_TRUE(readFile("big.bin") == contents);
    EXPECT_TRUE(std::filesystem::is_empty(service->dataDirectory() / "spool"));
}

TEST_F(localservice_files, Mkcol) {
    EXPECT_EQ(client->send("MKCOL", davUrl("/New%20Folder"), {bearer()}, "", false).status, 201);
    EXPECT_TRUE(std::filesystem::is_directory(onDisk("New Folder")));
    EXPECT_EQ(client->send("MKCOL", davUrl("/New%20Folder"), {bearer()}, "", false).status, 405);
    EXPECT_EQ(client->send("MKCOL", davUrl("/a/b"), {bearer()}, "", false).status, 409);
    EXPECT_EQ(client->send("MKCOL", davUrl("/withbody"), {bearer(), kXml}, "<x/>").status, 415);
    EXPECT_FALSE(std::filesystem::exists(onDisk("withbody")));
}

TEST_F(localservice_files, MoveKeepsTheFileIdAcrossRenamesAndMoves) {
    writeFile("Docs/a.txt", "a");
    writeFile("Docs/sub/b.txt", "b");
    std::filesystem::create_directories(onDisk("Archive"));
    std::string fileId = idOf("/Docs/a.txt");
    std::string folderId = idOf("/Docs/sub");
    std::string childId = idOf("/Docs/sub/b.txt");

    auto renamed = move("/Docs/a.txt", "/Docs/renamed.txt");
    EXPECT_EQ(renamed.status, 201);
    EXPECT_EQ(renamed.header("oc-fileid"), fileId);
    EXPECT_EQ(idOf("/Docs/renamed.txt"), fileId);
    EXPECT_FALSE(service->fileId("d1", "/Docs/a.txt"));

    EXPECT_EQ(move("/Docs/sub", "/Archive/sub").status, 201);
    EXPECT_EQ(idOf("/Archive/sub"), folderId);
    EXPECT_EQ(idOf("/Archive/sub/b.txt"), childId);
    auto listed = list("/Archive/sub");
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[1].prop(kOc + "fileid"), childId);

    // The absolute path form of Destination is accepted too.
    auto byPath = client->send("MOVE", davUrl("/Docs/renamed.txt"),
                               {bearer(), "Destination: /dav/spaces/d1/Archive/r.txt", "Overwrite: F"}, "", false);
    EXPECT_EQ(byPath.status, 201);
    EXPECT_EQ(idOf("/Archive/r.txt"), fileId);
}

TEST_F(localservice_files, MoveRefusals) {
    writeFile("a.txt", "a");
    writeFile("b.txt", "b");
    writeFile("dir/c.txt", "c");
    service->addDrive({"d2", "Other", std::string("project"), ""});
    struct Case {
        const char* what;
        std::string from;
        std::vector<std::string> headers;
        long status;
    };
    const Case cases[] = {
        {"target exists, Overwrite F", "/a.txt", {"Destination: " + davUrl("/b.txt"), "Overwrite: F"}, 412},
        {"no Destination", "/a.txt", {"Overwrite: F"}, 400},
        {"relative Destination", "/a.txt", {"Destination: b2.txt"}, 400},
        {"bad Overwrite", "/a.txt", {"Destination: " + davUrl("/z.txt"), "Overwrite: maybe"}, 400},
        {"missing source", "/nope.txt", {"Destination: " + davUrl("/z.txt"), "Overwrite: F"}, 404},
        {"missing target folder", "/a.txt", {"Destination: " + davUrl("/none/z.txt"), "Overwrite: F"}, 409},
        {"folder into itself", "/dir", {"Destination: " + davUrl("/dir/inner"), "Overwrite: F"}, 409},
        {"onto itself", "/a.txt", {"Destination: " + davUrl("/a.txt"), "Overwrite: T"}, 403},
        {"the root", "/", {"Destination: " + davUrl("/x"), "Overwrite: F"}, 403},
        {"onto the root", "/a.txt", {"Destination: " + davUrl("/"), "Overwrite: T"}, 403},
        {"another server", "/a.txt", {"Destination: https://elsewhere.example/dav/spaces/d1/z.txt"}, 502},
        {"another drive", "/a.txt", {"Destination: " + webUrl("/dav/spaces/d2/z.txt")}, 403},
        {"outside the drives", "/a.txt", {"Destination: " + webUrl("/graph/z.txt")}, 403},
        {"escaping path", "/a.txt", {"Destination: " + davUrl("/../d2/z.txt")}, 400},
    };
    for (const auto& c : cases) {
        auto headers = c.headers;
        headers.push_back(bearer());
        auto reply = client->send("MOVE", davUrl(c.from), headers, "", false);
        EXPECT_EQ(reply.status, c.status) << c.what << ": " << reply.body;
    }
    EXPECT_EQ(readFile("a.txt"), "a");
    EXPECT_EQ(readFile("b.txt"), "b");
    EXPECT_TRUE(std::filesystem::exists(onDisk("dir/c.txt")));

    // Overwrite T (or absent) replaces the target and answers 204.
    std::string movedId = idOf("/a.txt");
    EXPECT_EQ(move("/a.txt", "/b.txt", "T").status, 204);
    EXPECT_EQ(readFile("b.txt"), "a");
    EXPECT_EQ(idOf("/b.txt"), movedId);
}

TEST_F(localservice_files, DeleteRemovesTheItemAndItsIdentity) {
    writeFile("dir/a.txt", "a");
    writeFile("b.txt", "b");
    std::string oldId = idOf("/b.txt");
    EXPECT_EQ(client->send("DELETE", davUrl("/dir"), {bearer()}, "", false).status, 204);
    EXPECT_FALSE(std::filesystem::exists(onDisk("dir")));
    EXPECT_EQ(client->send("DELETE", davUrl("/dir"), {bearer()}, "", false).status, 404);
    EXPECT_EQ(client->send("DELETE", davUrl("/"), {bearer()}, "", false).status, 403);
    EXPECT_EQ(client->send("DELETE", davUrl("/b.txt"), {bearer()}, "", false).status, 204);
    // A new file at the same path is a new item.
    EXPECT_EQ(put("/b.txt", "again").status, 201);
    EXPECT_NE(idOf("/b.txt"), oldId);
}

TEST_F(localservice_files, UnsupportedMethods) {
    writeFile("a.txt", "a");
    auto reply = client->send("COPY", davUrl("/a.txt"), {bearer(), "Destination: " + davUrl("/b.txt")}, "", false);
    EXPECT_EQ(reply.status, 405);
    EXPECT_NE(reply.header("allow").find("PROPFIND"), std::string::npos);
    EXPECT_EQ(client->send("OPTIONS", davUrl("/"), {bearer()}, "", false).status, 200);
}

TEST_F(localservice_files, ConcurrentClientsAreServedIndependently) {
    constexpr int kClients = 8;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int n = 0; n < kClients; ++n) {
        threads.emplace_back([&, n] {
            std::string name = "/c" + std::to_string(n) + ".txt";
            for (int round = 0; round < 5; ++round) {
                std::string body = name + " round " + std::to_string(round);
                if (put(name, body).status / 100 != 2) ++failures;
                if (client->get(davUrl(name), {bearer()}).body != body) ++failures;
                if (propfind("/", "1").status != 207) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(list("/").size(), static_cast<std::size_t>(kClients + 1));
}

TEST_F(localservice_files, TenThousandEntryListing) {
    auto folder = onDisk("many");
    std::filesystem::create_directories(folder);
    for (int i = 0; i < 10000; ++i) std::ofstream(folder / ("file-" + std::to_string(i) + ".txt")) << i;
    auto entries = list("/many");
    ASSERT_EQ(entries.size(), 10001u);
    std::set<std::string> ids;
    for (const auto& entry : entries) ids.insert(entry.prop(kOc + "fileid").value_or(""));
    EXPECT_EQ(ids.size(), 10001u);
}

}  // namespace
}  // namespace nimbuscrate::localservice::testing
