#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <functional>
#include <future>
#include <limits>
#include <thread>

#include <unistd.h>

#include "platform/http/ReplyDecodingError.h"
#include "platform/log/LogCapture.h"
#include "shared/encryption/E2EEError.h"
#include "shared/session/DesktopError.h"
#include "shared/session/OcisClient.h"
#include "shared/session/PlainOnlyDriveService.h"
#include "shared/session/ServiceEndpoints.h"
#include "tests/support/LocalServiceFixture.h"
#include "tests/support/Eventually.h"

namespace nimbuscrate {
namespace {

using localservice::Route;
using namespace std::chrono_literals;

const std::string kWeb = NIMBUSCRATE_WEBAPP_HOST;
const char* kDrivesPath = "/graph/v1.0/me/drives";

Url url(const std::string& text) {
    auto parsed = Url::parse(text);
    if (!parsed) throw std::invalid_argument(text);
    return *parsed;
}

// The encryption seam as the gate sees it: counts the questions and answers
// as told.
class ScriptedPolicy final : public testing::ForwardingDriveService {
public:
    enum class Answer { notRequired, required, paused };
    std::atomic<Answer> answer{Answer::notRequired};
    std::atomic<int> asked{0};

    bool isEncryptionRequired(std::stop_token) override {
        ++asked;
        if (answer == Answer::paused) throw E2EEError::paused();
        return answer == Answer::required;
    }
};

DesktopError::Kind kindOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const DesktopError& error) {
        return error.kind();
    }
    throw std::logic_error("no DesktopError");
}

// ---- Pieces without a server ----

TEST(OcisClientCoreTest, RecognisesEncryptedBlobPathsInAnyCase) {
    const std::string blob = "0a1b2c3d-0000-4000-8000-00000000000a-1b2c3d4e-1111-4111-8111-11111111111b.nbenc";
    std::string upper = blob;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    struct Case {
        std::string path;
        bool blob;
    };
    const Case cases[] = {
        {blob, true},
        {"/" + blob, true},
        {"/Docs/" + blob, true},
        {"/Docs/" + upper, true},
        {"/Docs/" + blob + "/more", false},
        {"/Docs/x" + blob, false},
        {"/Docs/0a1b2c3d-0000-4000-8000-00000000000a.nbenc", false},
        {"/Docs/report.nbenc", false},
        {"/Docs/" + blob.substr(0, blob.size() - 6) + "xnbenc", false},
        {"/Docs/" + blob.substr(0, 8) + "_" + blob.substr(9), false},
        {"/Docs/" + blob.substr(0, 3) + "g" + blob.substr(4), false},
        {"/Docs/" + blob.substr(0, blob.size() - 6) + ".nbencx", false},
        {"/", false},
    };
    for (const Case& c : cases) EXPECT_EQ(OcisClient::isEncryptedBlobPath(c.path), c.blob) << c.path;
}

TEST(OcisClientCoreTest, ThePropfindBodyIsFourFixedLines) {
    EXPECT_EQ(stringOf(OcisClient::propfindBody()),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<d:propfind xmlns:d=\"DAV:\" xmlns:oc=\"http://owncloud.org/ns\">\n"
              "  <d:prop><d:displayname/><d:getetag/><d:getcontentlength/><d:getlastmodified/>"
              "<d:getcontenttype/><d:resourcetype/><oc:fileid/></d:prop>\n"
              "</d:propfind>");
}

TEST(OcisClientCoreTest, ModificationTimeHeaderIsWholeSecondsRoundedDown) {
    struct Case {
        std::optional<double> unixSeconds;
        std::optional<std::string> header;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt},
        {0.9, "0"},
        {-1.0, "-1"},
        {1.9, "1"},
        {-1.5, "-2"},
        {1700000000.25, "1700000000"},
        {std::numeric_limits<double>::infinity(), std::nullopt},
        {std::nan(""), std::nullopt},
        {1e300, std::nullopt},
    };
    for (const Case& c : cases) {
        const std::optional<Date> date =
            c.unixSeconds ? std::optional<Date>(Date::fromUnixSeconds(*c.unixSeconds)) : std::nullopt;
        EXPECT_EQ(OcisClient::mtimeHeaderValue(date), c.header) << c.unixSeconds.value_or(-0.0);
    }
}

TEST(OcisClientCoreTest, OnlyTwoHundredsPass) {
    struct Case {
        long status;
        bool passes;
    };
    for (const Case& c : {Case{200, true}, Case{207, true}, Case{299, true}, Case{199, false}, Case{300, false},
                          Case{304, false}, Case{404, false}, Case{500, false}}) {
        HttpResponse response;
        response.status = c.status;
        response.body = bytesOf("reason");
        if (c.passes) {
            EXPECT_NO_THROW(OcisClient::validateResponse(response)) << c.status;
            continue;
        }
        try {
            OcisClient::validateResponse(response);
            ADD_FAILURE() << c.status;
        } catch (const DesktopError& error) {
            EXPECT_EQ(error, DesktopError::server(c.status, "reason"));
        }
    }
}

TEST(OcisClientCoreTest, ErrorMessagesKeepTheFirst2048BytesOfTheBodyOrFile) {
    HttpResponse response;
    response.status = 500;
    response.body = Bytes(3000, 'e');
    response.body[2047] = 0xC3;  // a two-byte character cut at 2048
    response.body[2048] = 0xA9;
    const std::string expected = std::string(2047, 'e') + "\xEF\xBF\xBD";
    try {
        OcisClient::validateResponse(response);
        FAIL();
    } catch (const DesktopError& error) {
        EXPECT_EQ(error.payload(), expected);
    }

    const auto file = std::filesystem::temp_directory_path() / ("nc-ocis-error-" + std::to_string(::getpid()));
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(response.body.data()), 3000);
    response.body.clear();
    try {
        OcisClient::validateDownloadResponse(response, file);
        FAIL();
    } catch (const DesktopError& error) {
        EXPECT_EQ(error.payload(), expected);
    }
    std::filesystem::remove(file);
    try {
        OcisClient::validateDownloadResponse(response, file);
        FAIL();
    } catch (const DesktopError& error) {
        EXPECT_EQ(error, DesktopError::server(500, "")) << "an unreadable file gives the empty message";
    }
}

TEST(OcisClientCoreTest, DrivesAreRankedByTheProductWordStably) {
    auto drive = [](const char* id, const char* name) {
        return OcisClient::DrivesResponse::Drive{id, name, "project", url("https://h.example/dav/spaces/x")};
    };
    const auto ranked = OcisClient::sortDrives(
        {drive("1", "Team"), drive("2", "My Nimbuscrate"), drive("3", "NIMBUSCRATE files"), drive("4", "Other"),
         drive("5", "nimbuscrateish")});
    std::string order;
    for (const auto& d : ranked) order += d.id;
    EXPECT_EQ(order, "23514");
}

TEST(OcisClientCoreTest, CandidatesAreTheDrivesOwnRootThenTheSpacesPath) {
    const std::string fallback = webAppURL().string() + "dav/spaces/d%201/";
    struct Case {
        std::string webDavUrl;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"https://files.example/remote.php/dav/spaces/d", {"https://files.example/remote.php/dav/spaces/d", fallback}},
        {fallback, {fallback}},
        {fallback.substr(0, fallback.size() - 1), {fallback.substr(0, fallback.size() - 1), fallback}},
    };
    for (const Case& c : cases) {
        const OcisClient::DrivesResponse::Drive drive{"d 1", "n", std::nullopt, url(c.webDavUrl)};
        std::vector<std::string> got;
        for (const Url& candidate : OcisClient::candidateRoots(drive)) got.push_back(candidate.string());
        EXPECT_EQ(got, c.expected) << c.webDavUrl;
    }
}

TEST(OcisClientCoreTest, MalformedDrivesRepliesDoNotDecode) {
    const char* bodies[] = {
        "not json",
        "[]",
        R"({})",
        R"({"value":{}})",
        R"({"value":[{"name":"n","root":{"webDavUrl":"https://h/x"}}]})",
        R"({"value":[{"id":"d","root":{"webDavUrl":"https://h/x"}}]})",
        R"({"value":[{"id":"d","name":"n"}]})",
        R"({"value":[{"id":"d","name":"n","root":{}}]})",
        R"({"value":[{"id":"d","name":"n","root":{"webDavUrl":"no url"}}]})",
        R"({"value":[{"id":"d","name":"n","root":{"webDavUrl":7}}]})",
        R"({"value":[{"id":"d","name":"n","driveType":1,"root":{"webDavUrl":"https://h/x"}}]})",
        R"({"value":[{"id":1,"name":"n","root":{"webDavUrl":"https://h/x"}}]})",
    };
    for (const char* body : bodies) {
        EXPECT_THROW(OcisClient::DrivesResponse::decode(bytesOf(body)), ReplyDecodingError) << body;
    }
    const auto decoded = OcisClient::DrivesResponse::decode(bytesOf(
        R"({"value":[{"id":"d","name":"n","driveType":null,"root":{"webDavUrl":"https://h/x","extra":1},"more":2}]})"));
    ASSERT_EQ(decoded.value.size(), 1u);
    EXPECT_FALSE(decoded.value[0].driveType.has_value());
    EXPECT_EQ(decoded.value[0].webDavUrl.string(), "https://h/x");
}

TEST(OcisClientCoreTest, RequestKindsCarryTheirCompiledTimeOutsAndHeaders) {
    const HttpRequest drives = OcisClient::makeDrivesRequest("tok");
    EXPECT_EQ(drives.method, "GET");
    EXPECT_EQ(drives.url.string(), webAppURL().string() + "graph/v1.0/me/drives");
    EXPECT_EQ(drives.timeoutSeconds, 60);
    ASSERT_EQ(drives.headers.size(), 1u);
    EXPECT_EQ(drives.headers.value("Authorization"), "Bearer tok");

    const HttpRequest probe = OcisClient::makeProbeRequest(url("https://h.example/dav/spaces/d"), "tok");
    EXPECT_EQ(probe.method, "PROPFIND");
    EXPECT_EQ(probe.timeoutSeconds, 20);
    EXPECT_EQ(probe.headers.size(), 4u);
    EXPECT_EQ(probe.headers.value("Depth"), "0");
    EXPECT_EQ(probe.headers.value("Content-Type"), "application/xml; charset=utf-8");
    EXPECT_EQ(probe.headers.value("Authorization"), "Bearer tok");
    EXPECT_EQ(probe.headers.value("User-Agent"), "Nimbuscrate-macOS/1.1");
    EXPECT_EQ(std::get<Bytes>(probe.body), OcisClient::propfindBody());
}

// ---- Against the local service ----

class OcisClientTest : public testing::LocalServiceFixture {
protected:
    OAuthClient oauth{HttpTransport::shared(), store, clock};
    TokenProvider tokens{store, oauth, clock};
    std::shared_ptr<ScriptedPolicy> policy = std::make_shared<ScriptedPolicy>();
    OcisClient client{store, tokens, OcisClient::Services{policy, nullptr, nullptr, nullptr}};

    DriveSelection driveSelection(const std::string& id, const std::string& root) {
        return DriveSelection{id, id, url(root)};
    }
    static RemoteItem folderItemAt(const std::string& path) {
        RemoteItem item;
        item.id = "folder";
        item.parentID = "root";
        item.path = path;
        item.name = path.substr(path.rfind('/') + 1);
        item.isDirectory = true;
        return item;
    }
    DesktopSession signInWithDrive(const std::string& driveId = "d1") {
        service.addDrive(localservice::Drive{driveId, "Nimbuscrate", "project", ""});
        return signIn(3600, driveSelection(driveId, service.webDavUrl(driveId)));
    }
};

TEST_F(OcisClientTest, RemoteURLsStayUnderTheSavedRoot) {
    EXPECT_EQ(kindOf([&] { client.remoteURL("/a"); }), DesktopError::Kind::noNimbuscrateSpace);
    signIn();
    EXPECT_EQ(kindOf([&] { client.remoteURL("/a"); }), DesktopError::Kind::noNimbuscrateSpace);

    storeSession(DesktopSession::create(OAuthTokens{"a", "r", clock.now()},
                                        driveSelection("d1", "https://" + kWeb + "/dav/spaces/d1")));
    const std::string root = "https://" + kWeb + "/dav/spaces/d1";
    struct Case {
        std::string path;
        std::string expected;
    };
    const Case cases[] = {
        {"/", root},
        {"", root},
        {"/A B/c", root + "/A%20B/c"},
        {"a//b/./c/", root + "/a/b/c"},
        {"/100%/#x?", root + "/100%25/%23x%3f"},
    };
    for (const Case& c : cases) EXPECT_EQ(client.remoteURL(c.path).string(), c.expected) << c.path;

    for (const char* escape : {"/..", "/x/../../other-drive", "..", "/a/..", "/a/%2e%2e/../b"}) {
        EXPECT_EQ(kindOf([&] { client.remoteURL(escape); }), DesktopError::Kind::invalidResponse) << escape;
    }
    // A piece that only looks like ".." is a name like any other.
    EXPECT_EQ(client.remoteURL("/...").string(), root + "/...");
}

TEST_F(OcisClientTest, ASavedRootThatIsNotHttpsIsRefusedBeforeAnyToken) {
    service.addDrive(localservice::Drive{"d1", "Nimbuscrate", "project", ""});
    // A token near its end: fetching one would send a refresh grant.
    const DesktopSession session = signIn(10, driveSelection("d1", "http://" + kWeb + "/dav/spaces/d1"));
    LogCapture logs;
    for (const char* method : {"PROPFIND", "PUT"}) {
        EXPECT_EQ(kindOf([&] { client.makeRequest(method, "/a.txt"); }), DesktopError::Kind::noNimbuscrateSpace)
            << method;
    }
    EXPECT_EQ(kindOf([&] { client.listItems(folderItemAt("/Docs")); }), DesktopError::Kind::noNimbuscrateSpace);
    EXPECT_EQ(kindOf([&] { client.remoteURL("/a.txt"); }), DesktopError::Kind::noNimbuscrateSpace);
    EXPECT_EQ(logs.matching("network", "Saved WebDAV root host=" + kWeb + " refused: not https").size(), 4u);
    EXPECT_EQ(policy->asked, 0);
    EXPECT_EQ(service.grantCount(), 0u);
    EXPECT_EQ(service.requests().size(), 0u) << "nothing was sent, in clear or otherwise";
    EXPECT_EQ(storedSession(), session);
}

TEST_F(OcisClientTest, TheWriteGateRunsInItsOrder) {
    const std::string blob = "/0a1b2c3d-0000-4000-8000-00000000000a-1b2c3d4e-1111-4111-8111-11111111111b.nbenc";
    // 1. The blob check comes before everything, even without a session.
    EXPECT_EQ(kindOf([&] { client.makeRequest("GET", blob); }), DesktopError::Kind::encryptionRequired);
    // 2. The token comes before the policy.
    policy->answer = ScriptedPolicy::Answer::required;
    EXPECT_EQ(kindOf([&] { client.makeRequest("PUT", "/a.txt"); }), DesktopError::Kind::notAuthenticated);
    EXPECT_EQ(policy->asked, 0);

    // 3. The policy comes before the drive.
    signIn();
    EXPECT_EQ(kindOf([&] { client.makeRequest("PUT", "/a.txt"); }), DesktopError::Kind::encryptionRequired);
    EXPECT_EQ(policy->asked, 1);
    policy->answer = ScriptedPolicy::Answer::paused;
    EXPECT_THROW(client.makeRequest("MKCOL", "/a"), E2EEError);
    policy->answer = ScriptedPolicy::Answer::notRequired;
    EXPECT_EQ(kindOf([&] { client.makeRequest("PUT", "/a.txt"); }), DesktopError::Kind::noNimbuscrateSpace);

    // Read methods never ask; every other method does.
    signInWithDrive();
    policy->asked = 0;
    for (const char* method : {"GET", "HEAD", "OPTIONS", "PROPFIND", "REPORT", "propfind", "get"}) {
        client.makeRequest(method, "/a");
    }
    EXPECT_EQ(policy->asked, 0);
    for (const char* method : {"MKCOL", "PUT", "DELETE", "MOVE", "PATCH", "POST", "put"}) {
        client.makeRequest(method, "/a");
    }
    EXPECT_EQ(policy->asked, 7);
}

TEST_F(OcisClientTest, RequestsCarryTheTokenUserAgentAndTimeOut) {
    const DesktopSession session = signInWithDrive();
    const HttpRequest request = client.makeRequest("propfind", "/Docs/a b.txt");
    EXPECT_EQ(request.method, "propfind") << "sent as the caller gave it";
    EXPECT_EQ(request.url.string(), service.webDavUrl("d1") + "/Docs/a%20b.txt");
    EXPECT_EQ(request.timeoutSeconds, 120);
    EXPECT_EQ(request.redirects, RedirectPolicy::followHttps);
    EXPECT_EQ(request.headers.size(), 2u);
    EXPECT_EQ(request.headers.value("Authorization"), "Bearer " + session.tokens.accessToken);
    EXPECT_EQ(request.headers.value("User-Agent"), "Nimbuscrate-macOS/1.1");
}

TEST_F(OcisClientTest, SendSetsTheXmlContentTypeOnlyWithABody) {
    const DesktopSession session = signInWithDrive();
    const Bytes reply = client.send("PROPFIND", "/", HttpHeaders{{"Depth", "0"}, {"Content-Type", "text/plain"}},
                                    OcisClient::propfindBody());
    EXPECT_NE(stringOf(reply).find("multistatus"), std::string::npos);
    // An empty file made by PUT of an empty body.
    client.send("PUT", "/empty.txt", {}, Bytes{});
    EXPECT_EQ(std::filesystem::file_size(service.driveDirectory("d1") / "empty.txt"), 0u);
    try {
        client.send("DELETE", "/missing.txt", {}, std::nullopt);
        ADD_FAILURE() << "deleting a missing file must fail";
    } catch (const DesktopError& error) {
        EXPECT_EQ(error.kind(), DesktopError::Kind::server);
        EXPECT_EQ(error.status(), 404);
    } catch (const std::exception& error) {
        ADD_FAILURE() << error.what();
    }

    const auto seen = service.requests().all();
    std::vector<localservice::RecordedRequest> dav;
    for (const auto& r : seen) {
        if (r.path.starts_with("/dav/")) dav.push_back(r);
    }
    ASSERT_EQ(dav.size(), 3u);
    EXPECT_EQ(dav[0].header("Content-Type"), "application/xml; charset=utf-8");
    EXPECT_EQ(dav[0].header("Depth"), "0");
    EXPECT_EQ(dav[0].header("Authorization"), "Bearer " + session.tokens.accessToken);
    EXPECT_EQ(dav[0].header("User-Agent"), "Nimbuscrate-macOS/1.1");
    EXPECT_EQ(dav[0].body, stringOf(OcisClient::propfindBody()));
    EXPECT_EQ(dav[1].header("Content-Type"), "application/xml; charset=utf-8") << "an empty body has one";
    EXPECT_EQ(dav[1].bodyLength, 0u);
    EXPECT_FALSE(dav[2].headers.has("Content-Type")) << "no body, no Content-Type";
}

// ---- Drive discovery ----

std::vector<std::string> probedPaths(localservice::LocalService& service) {
    std::vector<std::string> paths;
    for (const auto& r : service.requests().matching("PROPFIND", "/")) paths.push_back(r.path);
    return paths;
}

TEST_F(OcisClientTest, DiscoveryRanksDrivesAndProbesEachCandidateInOrder) {
    service.addDrive({"team", "Team", "project", ""});
    service.addDrive({"mine", "My Nimbuscrate", "project", ""});
    service.addDrive({"me", "Nimbuscrate Personal", "personal", ""});
    service.addDrive({"files", "NIMBUSCRATE files", std::nullopt, ""});
    const DesktopSession session = signIn();
    // The first five probes fail; the sixth (Team's second candidate) answers.
    service.overrideStatus(Route{"PROPFIND", "", "/dav/spaces/"}, 404, 5);
    LogCapture logs;

    const DriveSelection drive = client.discoverDrive();
    EXPECT_EQ(drive.id, "team");
    EXPECT_EQ(drive.name, "Team");
    EXPECT_EQ(drive.webDAVURL.string(), "https://" + kWeb + "/dav/spaces/team/");
    EXPECT_EQ(probedPaths(service),
              (std::vector<std::string>{"/dav/spaces/mine", "/dav/spaces/mine/", "/dav/spaces/files",
                                        "/dav/spaces/files/", "/dav/spaces/team", "/dav/spaces/team/"}));
    EXPECT_EQ(logs.matching("network", "WebDAV probe host=" + kWeb + " status=404").size(), 5u);
    EXPECT_EQ(logs.matching("network", "WebDAV probe host=" + kWeb + " status=207").size(), 1u);

    // The drives listing carries the token and nothing else; probes carry the user agent.
    const auto listing = service.requests().matching("GET", kDrivesPath);
    ASSERT_EQ(listing.size(), 1u);
    EXPECT_EQ(listing[0].host, kWeb);
    EXPECT_EQ(listing[0].header("Authorization"), "Bearer " + session.tokens.accessToken);
    EXPECT_FALSE(listing[0].headers.has("User-Agent"));
    EXPECT_FALSE(listing[0].headers.has("Accept"));
    for (const auto& probe : service.requests().matching("PROPFIND", "/")) {
        EXPECT_EQ(probe.header("Depth"), "0");
        EXPECT_EQ(probe.header("User-Agent"), "Nimbuscrate-macOS/1.1");
        EXPECT_EQ(probe.header("Content-Type"), "application/xml; charset=utf-8");
        EXPECT_EQ(probe.body, stringOf(OcisClient::propfindBody()));
    }
}

TEST_F(OcisClientTest, PersonalDrivesAreSkippedCaseSensitively) {
    service.addDrive({"me", "Mine", "personal", ""});
    signIn();
    EXPECT_EQ(kindOf([&] { client.discoverDrive(); }), DesktopError::Kind::noNimbuscrateSpace);
    EXPECT_TRUE(probedPaths(service).empty());

    service.addDrive({"cap", "Capital", "Personal", ""});
    EXPECT_EQ(client.discoverDrive().id, "cap");
}

TEST_F(OcisClientTest, ACandidateThatIsNotHttpsIsNeverProbed) {
    service.addDrive({"plain", "Nimbuscrate", "project", "http://" + kWeb + "/dav/spaces/plain"});
    signIn();
    LogCapture logs;
    const DriveSelection drive = client.discoverDrive();
    EXPECT_EQ(drive.webDAVURL.string(), "https://" + kWeb + "/dav/spaces/plain/");
    EXPECT_EQ(probedPaths(service), std::vector<std::string>{"/dav/spaces/plain/"});
    EXPECT_EQ(logs.matching("network", "skipped: not https").size(), 1u);
}

TEST_F(OcisClientTest, ADriveRootEqualToTheFallbackIsProbedOnce) {
    service.addDrive({"same", "Nimbuscrate", "project", "https://" + kWeb + "/dav/spaces/same/"});
    signIn();
    service.overrideStatus(Route{"PROPFIND", "", "/dav/spaces/"}, 401, 1);
    EXPECT_EQ(kindOf([&] { client.discoverDrive(); }), DesktopError::Kind::noNimbuscrateSpace);
    EXPECT_EQ(probedPaths(service), std::vector<std::string>{"/dav/spaces/same/"});
}

TEST_F(OcisClientTest, AProbeThatFailsInTransportIsLoggedAndTheNextCandidateTried) {
    service.addDrive({"d1", "Nimbuscrate", "project", "https://" + kWeb + "/files/d1"});
    signIn();
    // Twice, as a request that dies on a reused connection is sent once more.
    service.dropConnection(Route{"PROPFIND", "", "/files/d1"}, 2);
    LogCapture logs;
    EXPECT_EQ(client.discoverDrive().webDAVURL.string(), "https://" + kWeb + "/dav/spaces/d1/");
    EXPECT_EQ(logs.matching("network", "WebDAV probe host=" + kWeb + " failed: ").size(), 1u);
}

TEST_F(OcisClientTest, DrivesListingFailuresReachTheCaller) {
    service.addDrive({"d1", "Nimbuscrate", "project", ""});
    signIn();
    service.overrideStatus(Route{"GET", "", kDrivesPath}, 503, 1, "maintenance");
    try {
        client.discoverDrive();
        FAIL();
    } catch (const DesktopError& error) {
        EXPECT_EQ(error, DesktopError::server(503, "maintenance"));
    }
    service.overrideStatus(Route{"GET", "", kDrivesPath}, 200, 1, R"({"value":[{"id":"d1","name":"x"}]})");
    EXPECT_THROW(client.discoverDrive(), ReplyDecodingError);
    EXPECT_TRUE(probedPaths(service).empty());
}

TEST_F(OcisClientTest, RediscoverySavesTheDriveUnderTheSameSession) {
    service.addDrive({"d1", "Nimbuscrate", "project", ""});
    const DesktopSession session = signIn(3600, driveSelection("old", "https://" + kWeb + "/dav/spaces/old"));
    LogCapture logs;
    const DriveSelection drive = client.refreshWebDAVEndpoint();
    EXPECT_EQ(drive.id, "d1");
    const auto stored = storedSession();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->sessionID, session.sessionID);
    EXPECT_EQ(stored->tokens, session.tokens);
    EXPECT_EQ(stored->drive, drive);
    EXPECT_EQ(logs.matching("network", "Persisted refreshed WebDAV endpoint host=" + kWeb).size(), 1u);

    // The same root again is still written and logged.
    client.refreshWebDAVEndpoint();
    EXPECT_EQ(logs.matching("network", "Persisted refreshed WebDAV endpoint").size(), 2u);
}

// Whether a thread of this process waits for a file lock: a blocked waiter
// ("->") of this process in /proc/locks.
bool aLockIsAwaitedHere() {
    const std::string pid = " " + std::to_string(::getpid()) + " ";
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        if (line.find("->") != std::string::npos && line.find(pid) != std::string::npos) return true;
    }
    return false;
}

using nimbuscrate::testing::eventually;

// The save is a read-compare-save of the session, like a token refresh of
// the other program: it waits for the secret store's lock on the item.
TEST_F(OcisClientTest, RediscoverySavesUnderTheSessionItemLock) {
    service.addDrive({"d1", "Nimbuscrate", "project", ""});
    const DesktopSession session = signIn(3600, driveSelection("old", "https://" + kWeb + "/dav/spaces/old"));
    auto held = store.lock();  // another holder of the item lock
    auto rediscovery = std::async(std::launch::async, [&] { return client.refreshWebDAVEndpoint(); });
    struct ReleaseAtExit {
        std::unique_ptr<SecretItemLock>& lock;
        ~ReleaseAtExit() { lock.reset(); }
    } release{held};

    ASSERT_TRUE(eventually(aLockIsAwaitedHere)) << "the save never waited for the item lock";
    EXPECT_EQ(rediscovery.wait_for(0s), std::future_status::timeout);
    EXPECT_EQ(storedSession(), session) << "nothing is saved while another holds the lock";

    held.reset();
    const DriveSelection drive = rediscovery.get();
    EXPECT_EQ(drive.id, "d1");
    const auto stored = storedSession();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->drive, drive);
    EXPECT_EQ(stored->sessionID, session.sessionID);
}

TEST_F(OcisClientTest, RediscoveryNeverWritesAfterAFailureOrIntoAnotherSession) {
    EXPECT_EQ(kindOf([&] { client.refreshWebDAVEndpoint(); }), DesktopError::Kind::notAuthenticated);

    const DesktopSession session = signIn(3600, driveSelection("old", "https://" + kWeb + "/dav/spaces/old"));
    EXPECT_EQ(kindOf([&] { client.refreshWebDAVEndpoint(); }), DesktopError::Kind::noNimbuscrateSpace);
    EXPECT_EQ(storedSession(), session);

    // The app signs in again while the extension rediscovers.
    service.addDrive({"d1", "Nimbuscrate", "project", ""});
    auto gate = service.hold(Route{"GET", "", kDrivesPath});
    std::exception_ptr outcome;
    std::thread rediscovery([&] {
        try {
            client.refreshWebDAVEndpoint();
        } catch (...) {
            outcome = std::current_exception();
        }
    });
    ASSERT_TRUE(gate->waitForArrivals(1, 10s));
    const DesktopSession replacement = signIn();
    gate->open();
    rediscovery.join();
    ASSERT_TRUE(outcome);
    try {
        std::rethrow_exception(outcome);
    } catch (const E2EEError& error) {
        EXPECT_EQ(error.kind(), E2EEError::Case::sessionChanged);
    }
    EXPECT_EQ(storedSession(), replacement);
}

}  // namespace
}  // namespace nimbuscrate
