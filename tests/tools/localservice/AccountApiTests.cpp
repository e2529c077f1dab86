// The account API of encrypted accounts: the account, its bootstrap, the
// paged listings of node and file records, node writes and their knobs.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <future>

#include "tests/tools/localservice/ServiceFixture.h"
#include "tools/localservice/AccountApi.h"

namespace nimbuscrate::localservice::testing {
namespace {

using Json = nlohmann::json;

std::string apiUrl(const std::string& path) { return "https://" + accountApiHost() + "/api/v1/" + path; }

class localservice_account_api : public ServiceTest {
protected:
    AccountApi& api() { return service->accountApi(); }

    Reply get(const std::string& path) { return client->get(apiUrl(path), {bearer()}); }
    Reply post(const std::string& path, const std::string& body) {
        return client->send("POST", apiUrl(path), {bearer(), "Content-Type: application/json"}, body);
    }
};

// An encrypted account as a test configures it (the text keeps its member
// order and blanks, which the service must not change).
const std::string kEncryptedAccount =
    R"({"mode": "required", "accountId": "acct_1", "format": "nimbuscrate-tink-aes256-v1", )"
    R"("onboardingRequired": false, "keyRecord": {"version": 1, "accountId": "acct_1", )"
    R"("publicKey": {"kty": "EC", "crv": "P-256", "ext": true, "key_ops": ["verify"], "x": "eA", "y": "eQ"}}, )"
    R"("ownedDriveIds": ["d1"], "primaryDriveId": "d1"})";

TEST_F(localservice_account_api, AccountIsServedExactlyAsConfigured) {
    auto plain = get("e2ee/account");
    ASSERT_EQ(plain.status, 200) << plain.body;
    EXPECT_EQ(plain.header("content-type"), "application/json");
    EXPECT_EQ(plain.body, AccountApi::kPlainAccount);
    auto parsed = Json::parse(plain.body);
    EXPECT_EQ(parsed["mode"], "legacy");
    EXPECT_TRUE(parsed["keyRecord"].is_null());
    EXPECT_EQ(parsed["onboardingRequired"], false);

    api().setAccount(kEncryptedAccount);
    auto encrypted = get("e2ee/account");
    EXPECT_EQ(encrypted.status, 200);
    EXPECT_EQ(encrypted.body, kEncryptedAccount);
    EXPECT_EQ(api().account(), kEncryptedAccount);
}

TEST_F(localservice_account_api, BootstrapAnswersWithTheAccountsUserId) {
    EXPECT_EQ(api().bootstrapCount(), 0u);
    api().setAccount(kEncryptedAccount);
    for (std::size_t call = 1; call <= 2; ++call) {
        // The client sends no body and no Content-Type.
        auto reply = client->send("POST", apiUrl("mobile/account/bootstrap"), {bearer()}, "", false);
        ASSERT_EQ(reply.status, 200) << reply.body;
        EXPECT_EQ(Json::parse(reply.body), Json({{"userId", "acct_1"}}));
        EXPECT_EQ(api().bootstrapCount(), call);
    }
    api().setAccount(R"({"mode":"legacy"})");
    EXPECT_EQ(Json::parse(post("mobile/account/bootstrap", "").body), Json({{"userId", nullptr}}));
}

TEST_F(localservice_account_api, RoutesNeedALiveBearerTokenAndTheirMethod) {
    struct Case {
        std::string method;
        std::string path;
        std::vector<std::string> headers;
        long status;
    };
    const std::string expired = "Authorization: Bearer " + service->issueTokens().accessToken;
    service->expireAccessToken(expired.substr(std::string("Authorization: Bearer ").size()));
    const std::vector<Case> cases = {
        {"GET", "e2ee/account", {}, 401},
        {"GET", "e2ee/account", {"Authorization: Bearer nope"}, 401},
        {"GET", "e2ee/account", {expired}, 401},
        {"GET", "e2ee/account", {"Authorization: Basic eDp5"}, 401},
        {"POST", "mobile/account/bootstrap", {}, 401},
        {"GET", "e2ee/nodes?after=", {}, 401},
        {"GET", "e2ee/files?after=", {"Authorization: Bearer nope"}, 401},
        {"GET", "e2ee/account", {bearer()}, 200},
        {"POST", "e2ee/account", {bearer()}, 405},
        {"GET", "mobile/account/bootstrap", {bearer()}, 405},
        {"GET", "e2ee/accounts", {bearer()}, 404},
        {"GET", "e2ee/account/", {bearer()}, 404},
        {"GET", "e2ee/nodes?after=", {bearer()}, 200},
        {"GET", "e2ee/files", {bearer()}, 200},
        {"DELETE", "e2ee/files", {bearer()}, 405},
    };
    for (const auto& c : cases) {
        auto reply = client->send(c.method, apiUrl(c.path), c.headers, "", c.method == "POST");
        SCOPED_TRACE(c.method + " " + c.path);
        EXPECT_EQ(reply.status, c.status) << c.method << " " << c.path << ": " << reply.body;
        if (c.status == 401) {
            EXPECT_NE(reply.header("www-authenticate").find("Bearer"), std::string::npos);
        }
        if (c.status == 405) {
            EXPECT_EQ(reply.header("allow"), c.method == "GET" ? "POST" : "GET");
        }
    }
    EXPECT_EQ(api().bootstrapCount(), 0u);
    // The routes live on the account API host only.
    EXPECT_EQ(client->get(webUrl("/api/v1/e2ee/account"), {bearer()}).status, 404);
}

TEST_F(localservice_account_api, AccountMustBeAnObjectWithIntegerNumbers) {
    const std::pair<const char*, std::string> refused[] = {
        {"not JSON", "{"},
        {"array", "[]"},
        {"string", R"("acct")"},
        {"fraction", R"({"accountId":"a","version":1.5})"},
        {"integral float", R"({"accountId":"a","version":1.0})"},
        {"exponent", R"({"accountId":"a","version":1e2})"},
        {"beyond safe integers", R"({"accountId":"a","nested":[{"n":9007199254740992}]})"},
        {"below safe integers", R"({"accountId":"a","n":-9007199254740992})"},
        {"trailing text", R"({"accountId":"a"} x)"},
    };
    for (const auto& [what, text] : refused) {
        EXPECT_THROW(api().setAccount(text), std::invalid_argument) << what;
    }
    EXPECT_EQ(api().account(), AccountApi::kPlainAccount);
    const std::string largest = R"({"accountId":"a","n":9007199254740991,"m":-9007199254740991})";
    api().setAccount(largest);
    EXPECT_EQ(get("e2ee/account").body, largest);
}

// Every byte but ASCII letters and digits as %XX, as the client sends cursors.
std::string escapeCursor(const std::string& cursor) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : cursor) {
        if (std::isalnum(c) && c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

// A node record of the shape a client signs (the service checks no signature).
std::string nodeRecord(const std::string& nodeId, std::int64_t generation, bool deleted = false,
                       const std::string& parentId = "root") {
    Json value = {{"purpose", "node"},          {"accountId", "acct_1"},   {"nodeId", nodeId},
                  {"parentId", parentId},       {"kind", "folder"},        {"generation", generation},
                  {"deleted", deleted},         {"purged", false},         {"operationId", "op-" + randomHex(8)},
                  {"metadata", {{"version", 1}, {"cipher", "aes-256-gcm"}, {"iv", "aXY"}, {"ciphertext", "Y3Q"}}}};
    return Json{{"value", value}, {"signature", std::string(86, 'A')}}.dump();
}

// A file record (the service's record of one revision) around a manifest for the node.
std::string fileRecord(const std::string& nodeId, std::int64_t generation) {
    Json manifest = {{"value", {{"format", "nimbuscrate-tink-aes256-v1"}, {"nodeId", nodeId},
                                {"revisionId", "rev-" + std::to_string(generation)},
                                {"previousGeneration", generation - 1}}},
                     {"signature", std::string(86, 'M')}};
    return Json{{"manifest", manifest}, {"driveId", "d1"}, {"parentItemId", "d1"},
                {"opaqueName", nodeId + "-rev.nbenc"}, {"ciphertextLength", 56}, {"revisionId", "rev-" + std::to_string(generation)},
                {"generation", generation}, {"current", true}}
        .dump(1);  // blanks and line breaks, which must reach the client unchanged
}

struct Page {
    long status = 0;
    std::vector<std::string> items;  // each item's text as served
    std::string next;
    std::string body;
};

// Splits a page into its items' texts, to compare them byte for byte.
Page readPage(const Reply& reply) {
    Page page;
    page.status = reply.status;
    page.body = reply.body;
    if (reply.status != 200) return page;
    Json parsed = Json::parse(reply.body);
    page.next = parsed.at("next").get<std::string>();
    // The items' texts follow one another after "[", separated by ",": each
    // runs to the bracket that balances its first one.
    const std::string& body = reply.body;
    std::size_t position = body.find('[') + 1;
    for (std::size_t i = 0; i < parsed.at("items").size(); ++i) {
        int depth = 0;
        bool inString = false;
        std::size_t start = position;
        for (; position < body.size(); ++position) {
            char c = body[position];
            if (inString) {
                if (c == '\\') ++position;
                else if (c == '"') inString = false;
                continue;
            }
            if (c == '"') inString = true;
            else if (c == '{' || c == '[') ++depth;
            else if (c == '}' || c == ']') {
                if (--depth == 0) {
                    ++position;
                    break;
                }
            }
        }
        page.items.push_back(body.substr(start, position - start));
        if (position < body.size() && body[position] == ',') ++position;
    }
    return page;
}

TEST_F(localservice_account_api, ListingsPageThroughEveryRecordWithOpaqueCursors) {
    api().setPageSize(3);
    std::vector<std::string> nodes, files;
    for (int i = 0; i < 8; ++i) {
        nodes.push_back(nodeRecord("node-" + std::to_string(i), 1));
        api().putNode(nodes.back(), i == 5);
    }
    for (int i = 0; i < 7; ++i) {
        files.push_back(fileRecord("file-" + std::to_string(i), 1));
        api().putFile(files.back());
    }
    struct Case {
        std::string collection;
        std::size_t count;
        std::size_t pages;
    };
    for (const Case& c : {Case{"nodes", 8, 3}, Case{"files", 7, 3}}) {
        SCOPED_TRACE(c.collection);
        service->requests().clear();
        std::vector<std::string> served;
        std::vector<std::string> cursors;
        std::string cursor;
        for (std::size_t page = 0; page < 10; ++page) {
            Page reply = readPage(get("e2ee/" + c.collection + "?after=" + escapeCursor(cursor)));
            ASSERT_EQ(reply.status, 200) << reply.body;
            EXPECT_LE(reply.items.size(), 3u);
            served.insert(served.end(), reply.items.begin(), reply.items.end());
            if (reply.next.empty()) break;
            // Characters a client must escape, and a non-ASCII letter.
            for (const char* piece : {"-", "_", "~", "/", "=", "\xc3\xa9"}) {
                EXPECT_NE(reply.next.find(piece), std::string::npos) << reply.next;
            }
            cursors.push_back(reply.next);
            cursor = reply.next;
        }
        EXPECT_EQ(cursors.size() + 1, c.pages);
        ASSERT_EQ(served.size(), c.count);
        for (std::size_t i = 0; i < c.count; ++i) {
            if (c.collection == "files") {
                EXPECT_EQ(served[i], files[i]);
            } else {
                std::string expected = "{\"state\":" + nodes[i] + (i == 5 ? ",\"erased\":true}" : "}");
                EXPECT_EQ(served[i], expected);
            }
        }
        // The service read each cursor back decoded.
        auto requests = service->requests().matching("GET", "/api/v1/e2ee/" + c.collection);
        ASSERT_EQ(requests.size(), c.pages);
        EXPECT_EQ(requests[0].queryValue("after"), "");
        for (std::size_t i = 0; i < cursors.size(); ++i) EXPECT_EQ(requests[i + 1].queryValue("after"), cursors[i]);
    }
}

TEST_F(localservice_account_api, EmptyAndExactlyFullListings) {
    auto empty = get("e2ee/nodes?after=");
    ASSERT_EQ(empty.status, 200);
    EXPECT_EQ(empty.body, R"({"items":[],"next":""})");
    EXPECT_EQ(get("e2ee/files").body, R"({"items":[],"next":""})");

    api().setPageSize(2);
    for (int i = 0; i < 4; ++i) api().putFile(fileRecord("f" + std::to_string(i), 1));
    Page first = readPage(get("e2ee/files?after="));
    ASSERT_EQ(first.items.size(), 2u);
    ASSERT_FALSE(first.next.empty());
    Page second = readPage(get("e2ee/files?after=" + escapeCursor(first.next)));
    EXPECT_EQ(second.items.size(), 2u);
    EXPECT_EQ(second.next, "");
    // The same position always has the same cursor.
    EXPECT_EQ(readPage(get("e2ee/files?after=")).next, first.next);

    api().setPageSize(100);
    for (int i = 4; i < 150; ++i) api().putFile(fileRecord("f" + std::to_string(i), 1));
    Page full = readPage(get("e2ee/files?after="));
    EXPECT_EQ(full.items.size(), 100u);
    EXPECT_EQ(readPage(get("e2ee/files?after=" + escapeCursor(full.next))).items.size(), 50u);
}

TEST_F(localservice_account_api, UnknownCursorsAreRefused) {
    api().setPageSize(1);
    api().putNode(nodeRecord("a", 1));
    api().putNode(nodeRecord("b", 1));
    api().putFile(fileRecord("a", 1));
    api().putFile(fileRecord("b", 1));
    const std::string nodesCursor = readPage(get("e2ee/nodes?after=")).next;
    const std::string filesCursor = readPage(get("e2ee/files?after=")).next;
    ASSERT_FALSE(nodesCursor.empty());
    std::string altered = nodesCursor;
    altered.back() = altered.back() == '1' ? '2' : '1';
    std::string spaced = nodesCursor;
    spaced.replace(spaced.find('~'), 1, " ");
    struct Case {
        std::string what;
        std::string query;
    };
    const std::vector<Case> cases = {
        {"made up", "e2ee/nodes?after=abc"},
        {"other listing's", "e2ee/nodes?after=" + escapeCursor(filesCursor)},
        {"altered", "e2ee/nodes?after=" + escapeCursor(altered)},
        {"blank for a character", "e2ee/nodes?after=" + escapeCursor(spaced)},
        {"given twice", "e2ee/nodes?after=" + escapeCursor(nodesCursor) + "&after=" + escapeCursor(nodesCursor)},
        {"files: made up", "e2ee/files?after=%2F"},
    };
    for (const auto& c : cases) {
        auto reply = get(c.query);
        EXPECT_EQ(reply.status, 400) << c.what << ": " << reply.body;
        EXPECT_EQ(Json::parse(reply.body, nullptr, false).value("error", ""), "invalid_cursor") << c.what;
    }
    EXPECT_EQ(get("e2ee/nodes?after=" + escapeCursor(nodesCursor)).status, 200);
    EXPECT_EQ(get("e2ee/files?after=" + escapeCursor(filesCursor)).status, 200);
}

TEST_F(localservice_account_api, ListingsServeTheNewestVersionInItsFirstPlace) {
    api().setPageSize(2);
    for (const char* id : {"a", "b", "c"}) api().putNode(nodeRecord(id, 1));
    Page first = readPage(get("e2ee/nodes?after="));
    ASSERT_EQ(first.items.size(), 2u);

    // While a client pages: "a" (already listed) and "c" (not yet) change, "a"
    // becomes a tombstone and a new node arrives. Nothing listed is dropped.
    const std::string tombstone = nodeRecord("a", 2, true);
    const std::string renamed = nodeRecord("c", 2);
    api().putNode(tombstone);
    api().putNode(renamed);
    api().putNode(nodeRecord("d", 1));
    std::vector<std::string> rest;
    for (std::string cursor = first.next; !cursor.empty();) {
        Page page = readPage(get("e2ee/nodes?after=" + escapeCursor(cursor)));
        ASSERT_EQ(page.status, 200);
        rest.insert(rest.end(), page.items.begin(), page.items.end());
        cursor = page.next;
    }
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0], "{\"state\":" + renamed + "}");
    EXPECT_EQ(Json::parse(rest[1])["state"]["value"]["nodeId"], "d");

    Page again = readPage(get("e2ee/nodes?after="));
    EXPECT_EQ(again.items.at(0), "{\"state\":" + tombstone + "}");
    EXPECT_EQ(api().storedRecord(AccountApi::Collection::nodes, "a"), tombstone);
    EXPECT_EQ(api().versionCount(AccountApi::Collection::nodes, "a"), 2u);
    EXPECT_EQ(api().versionCount(AccountApi::Collection::nodes, "zz"), 0u);
    EXPECT_FALSE(api().storedRecord(AccountApi::Collection::files, "a").has_value());

    // A file's newer revision replaces the older in the listing.
    api().putFile(fileRecord("a", 1));
    const std::string second = fileRecord("a", 2);
    api().putFile(second);
    Page files = readPage(get("e2ee/files?after="));
    ASSERT_EQ(files.items.size(), 1u);
    EXPECT_EQ(files.items[0], second);
}

TEST_F(localservice_account_api, SeededRecordsAndPageSizesAreChecked) {
    const std::pair<const char*, std::string> badNodes[] = {
        {"not JSON", "{"},
        {"no value", R"({"signature":"x"})"},
        {"no node id", R"({"value":{"generation":1}})"},
        {"numeric node id", R"({"value":{"nodeId":7,"generation":1}})"},
        {"generation 0", R"({"value":{"nodeId":"a","generation":0}})"},
        {"generation as text", R"({"value":{"nodeId":"a","generation":"1"}})"},
        {"fractional number", R"({"value":{"nodeId":"a","generation":1,"x":0.5}})"},
    };
    for (const auto& [what, text] : badNodes) EXPECT_THROW(api().putNode(text), std::invalid_argument) << what;
    const std::pair<const char*, std::string> badFiles[] = {
        {"no manifest", R"({"generation":1})"},
        {"node id outside the manifest value", R"({"manifest":{"nodeId":"a"},"generation":1})"},
        {"no generation", R"({"manifest":{"value":{"nodeId":"a"}}})"},
        {"negative generation", R"({"manifest":{"value":{"nodeId":"a"}},"generation":-1})"},
    };
    for (const auto& [what, text] : badFiles) EXPECT_THROW(api().putFile(text), std::invalid_argument) << what;

    api().putNode(nodeRecord("a", 2));
    EXPECT_THROW(api().putNode(nodeRecord("a", 2)), std::invalid_argument);
    EXPECT_THROW(api().putNode(nodeRecord("a", 1)), std::invalid_argument);
    api().putNode(nodeRecord("a", 5));
    EXPECT_EQ(api().versionCount(AccountApi::Collection::nodes, "a"), 2u);

    EXPECT_THROW(api().setPageSize(0), std::invalid_argument);
    EXPECT_THROW(api().setPageSize(101), std::invalid_argument);
    api().setPageSize(1);
    api().setPageSize(100);
}

class localservice_node_writes : public localservice_account_api {
protected:
    void SetUp() override {
        localservice_account_api::SetUp();
        api().setAccount(kEncryptedAccount);
    }
    std::optional<std::int64_t> storedGeneration(const std::string& nodeId) {
        auto stored = api().storedRecord(AccountApi::Collection::nodes, nodeId);
        if (!stored) return std::nullopt;
        return Json::parse(*stored)["value"]["generation"].get<std::int64_t>();
    }
};

TEST_F(localservice_node_writes, NodeRecordsAreStoredAndListedExactlyAsSent) {
    // Member order and blanks as sent; the service must keep both.
    Json record = Json::parse(nodeRecord("n1", 1));
    const std::string sent = " " + record.dump(2) + "\n";
    auto reply = post("e2ee/nodes", sent);
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(Json::parse(reply.body), Json({{"nodeId", "n1"}, {"generation", 1}}));
    EXPECT_EQ(api().storedRecord(AccountApi::Collection::nodes, "n1"), sent);
    Page page = readPage(get("e2ee/nodes?after="));
    ASSERT_EQ(page.items.size(), 1u);
    EXPECT_EQ(page.items[0], "{\"state\":" + sent + "}");
    EXPECT_EQ(Json::parse(page.items[0])["state"], record);
}

TEST_F(localservice_node_writes, GenerationsFollowOneAnother) {
    struct Case {
        std::string nodeId;
        std::int64_t generation;
        long status;
    };
    const Case cases[] = {
        {"n1", 2, 409},  // a new node starts at 1
        {"n1", 1, 200},
        {"n1", 1, 409},  // the same generation again
        {"n1", 3, 409},  // one skipped
        {"n1", 2, 200},
        {"n1", 9007199254740991, 409},
        {"n2", 1, 200},
        {"n2", 2, 200},
        {"n1", 3, 200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.nodeId + " generation " + std::to_string(c.generation));
        auto before = api().storedRecord(AccountApi::Collection::nodes, c.nodeId);
        const std::string record = nodeRecord(c.nodeId, c.generation, c.generation == 3);
        auto reply = post("e2ee/nodes", record);
        EXPECT_EQ(reply.status, c.status) << reply.body;
        if (c.status == 200) {
            EXPECT_EQ(api().storedRecord(AccountApi::Collection::nodes, c.nodeId), record);
        } else {
            EXPECT_EQ(Json::parse(reply.body).value("error", ""), "generation_conflict");
            EXPECT_EQ(api().storedRecord(AccountApi::Collection::nodes, c.nodeId), before);
        }
    }
    EXPECT_EQ(api().versionCount(AccountApi::Collection::nodes, "n1"), 3u);
    // A tombstone is a write like any other and stays listed.
    Page page = readPage(get("e2ee/nodes?after="));
    ASSERT_EQ(page.items.size(), 2u);
    EXPECT_EQ(Json::parse(page.items[0])["state"]["value"]["deleted"], true);
}

TEST_F(localservice_node_writes, OneOfConcurrentWritesOfAGenerationWins) {
    ASSERT_EQ(post("e2ee/nodes", nodeRecord("n1", 1)).status, 200);
    std::vector<std::future<long>> writers;
    for (int i = 0; i < 8; ++i) {
        writers.push_back(std::async(std::launch::async, [this] { return post("e2ee/nodes", nodeRecord("n1", 2)).status; }));
    }
    int accepted = 0, refused = 0;
    for (auto& writer : writers) {
        long status = writer.get();
        accepted += status == 200;
        refused += status == 409;
    }
    EXPECT_EQ(accepted, 1);
    EXPECT_EQ(refused, 7);
    EXPECT_EQ(storedGeneration("n1"), 2);
}

TEST_F(localservice_node_writes, MalformedRecordsAreRefused) {
    const Json good = Json::parse(nodeRecord("n1", 1));
    auto with = [&](const std::function<void(Json&)>& change) {
        Json record = good;
        change(record);
        return record.dump();
    };
    struct Case {
        std::string what;
        std::string body;
        long status;
    };
    const std::vector<Case> cases = {
        {"not JSON", "{\"value\":", 400},
        {"empty", "", 400},
        {"array", "[" + good.dump() + "]", 400},
        {"no signature", with([](Json& r) { r.erase("signature"); }), 400},
        {"short signature", with([](Json& r) { r["signature"] = std::string(85, 'A'); }), 400},
        {"padded signature", with([](Json& r) { r["signature"] = std::string(84, 'A') + "=="; }), 400},
        {"standard base64 signature", with([](Json& r) { r["signature"] = std::string(85, 'A') + "+"; }), 400},
        {"signature with stray bits", with([](Json& r) { r["signature"] = std::string(85, 'A') + "B"; }), 400},
        {"no value", with([](Json& r) { r.erase("value"); }), 400},
        {"other purpose", with([](Json& r) { r["value"]["purpose"] = "unlock"; }), 400},
        {"node id with a blank", with([](Json& r) { r["value"]["nodeId"] = "n 1"; }), 400},
        {"node id too long", with([](Json& r) { r["value"]["nodeId"] = std::string(129, 'n'); }), 400},
        {"no parent", with([](Json& r) { r["value"].erase("parentId"); }), 400},
        {"parent with a slash", with([](Json& r) { r["value"]["parentId"] = "a/b"; }), 400},
        {"numeric operation id", with([](Json& r) { r["value"]["operationId"] = 7; }), 400},
        {"kind in capitals", with([](Json& r) { r["value"]["kind"] = "Folder"; }), 400},
        {"generation 0", with([](Json& r) { r["value"]["generation"] = 0; }), 400},
        {"generation as text", with([](Json& r) { r["value"]["generation"] = "1"; }), 400},
        {"generation as a float", with([](Json& r) { r["value"]["generation"] = 1.0; }), 400},
        {"generation of 2^53", with([](Json& r) { r["value"]["generation"] = 9007199254740992ULL; }), 400},
        {"deleted as a number", with([](Json& r) { r["value"]["deleted"] = 1; }), 400},
        {"no purged", with([](Json& r) { r["value"].erase("purged"); }), 400},
        {"purged but not deleted", with([](Json& r) { r["value"]["purged"] = true; }), 400},
        {"metadata as text", with([](Json& r) { r["value"]["metadata"] = "x"; }), 400},
        {"a float anywhere", with([](Json& r) { r["value"]["metadata"]["extra"] = 0.25; }), 400},
        {"no account", with([](Json& r) { r["value"].erase("accountId"); }), 400},
        {"another account", with([](Json& r) { r["value"]["accountId"] = "acct_2"; }), 403},
    };
    for (const auto& c : cases) {
        auto reply = post("e2ee/nodes", c.body);
        EXPECT_EQ(reply.status, c.status) << c.what << ": " << reply.body;
    }
    EXPECT_EQ(client->send("POST", apiUrl("e2ee/nodes"), {bearer()}, good.dump()).status, 415);
    EXPECT_EQ(client->send("POST", apiUrl("e2ee/nodes"), {bearer(), "Content-Type: text/plain"}, good.dump()).status, 415);
    EXPECT_EQ(post("e2ee/nodes", good.dump() + std::string(1024 * 1024, ' ')).status, 413);
    EXPECT_EQ(readPage(get("e2ee/nodes?after=")).items.size(), 0u);

    // The same record, well formed, is accepted (also with a charset).
    auto accepted = client->send("POST", apiUrl("e2ee/nodes"),
                                 {bearer(), "Content-Type: application/json; charset=utf-8"}, good.dump());
    EXPECT_EQ(accepted.status, 200) << accepted.body;
    EXPECT_EQ(storedGeneration("n1"), 1);
}

class localservice_account_knobs : public localservice_account_api {
protected:
    using Collection = AccountApi::Collection;

    // Every item of a whole listing, following the cursors (at most 20 pages).
    std::vector<std::string> listAll(const std::string& collection) {
        std::vector<std::string> items;
        std::string cursor;
        for (int page = 0; page < 20; ++page) {
            Page reply = readPage(get("e2ee/" + collection + "?after=" + escapeCursor(cursor)));
            EXPECT_EQ(reply.status, 200) << reply.body;
            items.insert(items.end(), reply.items.begin(), reply.items.end());
            if (reply.next.empty()) break;
            cursor = reply.next;
        }
        return items;
    }
    static std::string entry(const std::string& record) { return "{\"state\":" + record + "}"; }
};

TEST_F(localservice_account_knobs, OlderOmittedAndReplacedRecords) {
    const std::string n1v1 = nodeRecord("n1", 1), n1v2 = nodeRecord("n1", 2, true), n2 = nodeRecord("n2", 1);
    const std::string f1v1 = fileRecord("f1", 1), f1v2 = fileRecord("f1", 2), f2 = fileRecord("f2", 1);
    for (const auto& record : {n1v1, n1v2, n2}) api().putNode(record);
    for (const auto& record : {f1v1, f1v2, f2}) api().putFile(record);
    const std::string n1other = nodeRecord("n1", 2, true);  // same generation, another operation id
    const std::string f1other = Json::parse(f1v2).dump();   // same record, written without blanks
    ASSERT_NE(n1other, n1v2);

    struct Case {
        std::string what;
        std::function<void()> knob;
        std::vector<std::string> nodes;  // the first listing with the knob
        std::vector<std::string> files;
        bool usedUp;  // the next listing is as stored
    };
    const std::string n1otherErased = "{\"state\":" + n1other + ",\"erased\":true}";
    const std::vector<Case> cases = {
        {"older node", [&] { api().serveOlderRecord(Collection::nodes, "n1", 1); },
         {entry(n1v1), entry(n2)}, {f1v2, f2}, true},
        {"older of every record", [&] { api().serveOlderRecord(Collection::files, ""); },
         {entry(n1v2), entry(n2)}, {f1v1, f2}, false},
        {"older of a record with no older one", [&] { api().serveOlderRecord(Collection::nodes, "n2"); },
         {entry(n1v2), entry(n2)}, {f1v2, f2}, false},
        {"omitted node", [&] { api().omitRecord(Collection::nodes, "n2", 1); },
         {entry(n1v2)}, {f1v2, f2}, true},
        {"omitted file", [&] { api().omitRecord(Collection::files, "f1"); },
         {entry(n1v2), entry(n2)}, {f2}, false},
        {"replaced node", [&] { api().replaceRecordBody(Collection::nodes, n1other, true, 1); },
         {n1otherErased, entry(n2)}, {f1v2, f2}, true},
        {"replaced file", [&] { api().replaceRecordBody(Collection::files, f1other); },
         {entry(n1v2), entry(n2)}, {f1other, f2}, false},
    };
    const std::vector<std::string> storedNodes{entry(n1v2), entry(n2)}, storedFiles{f1v2, f2};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.knob();
        EXPECT_EQ(listAll("nodes"), c.nodes);
        EXPECT_EQ(listAll("files"), c.files);
        if (c.usedUp) {
            EXPECT_EQ(listAll("nodes"), storedNodes);
            EXPECT_EQ(listAll("files"), storedFiles);
        } else {
            EXPECT_EQ(listAll("nodes"), c.nodes);
            EXPECT_EQ(listAll("files"), c.files);
        }
        service->clearFaults();
        EXPECT_EQ(listAll("nodes"), storedNodes);
        EXPECT_EQ(listAll("files"), storedFiles);
    }
}

TEST_F(localservice_account_knobs, ReplacedBodyMustKeepItsGenerationAndEndsWithANewerOne) {
    api().setAccount(kEncryptedAccount);
    api().putNode(nodeRecord("n1", 1));
    EXPECT_THROW(api().replaceRecordBody(Collection::nodes, nodeRecord("n1", 2)), std::invalid_argument);
    EXPECT_THROW(api().replaceRecordBody(Collection::nodes, nodeRecord("n9", 1)), std::invalid_argument);
    EXPECT_THROW(api().replaceRecordBody(Collection::files, fileRecord("n1", 1)), std::invalid_argument);
    EXPECT_THROW(api().replaceRecordBody(Collection::nodes, "{}"), std::invalid_argument);

    const std::string resigned = nodeRecord("n1", 1);
    api().replaceRecordBody(Collection::nodes, resigned);
    EXPECT_EQ(listAll("nodes"), std::vector<std::string>{entry(resigned)});
    // A newer generation written meanwhile is served as it is.
    const std::string second = nodeRecord("n1", 2);
    ASSERT_EQ(post("e2ee/nodes", second).status, 200);
    EXPECT_EQ(listAll("nodes"), std::vector<std::string>{entry(second)});
}

TEST_F(localservice_account_knobs, RepeatedCursorAndOversizedPage) {
    api().setPageSize(2);
    for (int i = 0; i < 5; ++i) api().putNode(nodeRecord("n" + std::to_string(i), 1));

    api().repeatCursor(Collection::nodes, 1);
    Page first = readPage(get("e2ee/nodes?after="));  // a first page does not use it
    ASSERT_FALSE(first.next.empty());
    Page looping = readPage(get("e2ee/nodes?after=" + escapeCursor(first.next)));
    EXPECT_EQ(looping.items.size(), 2u);
    EXPECT_EQ(looping.next, first.next);
    Page onward = readPage(get("e2ee/nodes?after=" + escapeCursor(first.next)));
    EXPECT_NE(onward.next, first.next);
    EXPECT_FALSE(onward.next.empty());
    api().repeatCursor(Collection::files, AccountApi::kEveryCall);  // another listing's
    EXPECT_EQ(listAll("nodes").size(), 5u);

    api().serveOversizedPage(Collection::nodes);
    Page oversized = readPage(get("e2ee/nodes?after="));
    ASSERT_EQ(oversized.items.size(), 101u);
    EXPECT_EQ(oversized.items[0], oversized.items[5]);  // five records, repeated
    EXPECT_EQ(oversized.next, "");
    EXPECT_EQ(readPage(get("e2ee/nodes?after=")).items.size(), 2u);

    api().setPageSize(100);
    for (int i = 5; i < 150; ++i) api().putNode(nodeRecord("n" + std::to_string(i), 1));
    api().serveOversizedPage(Collection::nodes);
    oversized = readPage(get("e2ee/nodes?after="));
    ASSERT_EQ(oversized.items.size(), 101u);
    EXPECT_EQ(Json::parse(oversized.items[100])["state"]["value"]["nodeId"], "n100");
    EXPECT_EQ(readPage(get("e2ee/nodes?after=" + escapeCursor(oversized.next))).items.size(), 49u);
    EXPECT_EQ(readPage(get("e2ee/files?after=")).items.size(), 0u);  // an empty listing stays empty
}

TEST_F(localservice_account_knobs, SwappedPublicKeyAndMode) {
    const std::string otherKey = R"({"kty":"EC","crv":"P-256","ext":true,"key_ops":["verify"],"x":"b3g","y":"b3k"})";
    api().setAccount(kEncryptedAccount);
    api().swapAccountPublicKey(otherKey, 1);
    auto swapped = get("e2ee/account");
    ASSERT_EQ(swapped.status, 200);
    auto account = nlohmann::ordered_json::parse(swapped.body);
    EXPECT_EQ(account["keyRecord"]["publicKey"], nlohmann::ordered_json::parse(otherKey));
    EXPECT_EQ(account["keyRecord"]["accountId"], "acct_1");
    EXPECT_EQ(account.begin().key(), "mode");  // members keep their order
    EXPECT_EQ(get("e2ee/account").body, kEncryptedAccount);

    api().swapAccountMode("write_paused");
    for (int i = 0; i < 2; ++i) {
        auto paused = Json::parse(get("e2ee/account").body);
        EXPECT_EQ(paused["mode"], "write_paused");
        EXPECT_EQ(paused["keyRecord"], Json::parse(kEncryptedAccount)["keyRecord"]);
    }
    service->clearFaults();
    EXPECT_EQ(get("e2ee/account").body, kEncryptedAccount);

    // A plain account gets a key record, and both knobs apply together.
    api().setAccount(AccountApi::kPlainAccount);
    api().swapAccountPublicKey(otherKey);
    api().swapAccountMode("required");
    auto plain = Json::parse(get("e2ee/account").body);
    EXPECT_EQ(plain["mode"], "required");
    EXPECT_EQ(plain["keyRecord"], Json({{"version", 1}, {"accountId", "local-account"}, {"publicKey", Json::parse(otherKey)}}));
    EXPECT_THROW(api().swapAccountPublicKey("[1]"), std::invalid_argument);
}

// A GET straight to an https URL, trusting the service's CA (no routing).
Reply fetchDirectly(const std::string& url, const std::filesystem::path& caFile) {
    Reply reply;
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* user) {
        static_cast<Reply*>(user)->body.append(data, size * count);
        return size * count;
    });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    reply.result = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_easy_cleanup(curl);
    return reply;
}

TEST_F(localservice_account_knobs, RedirectToASecondHostThatCountsWhatReachesIt) {
    EXPECT_EQ(api().secondHostConnections(), 0u);
    api().redirectToSecondHost({"GET", "", "/api/v1/e2ee/nodes"}, 1);
    service->requests().clear();
    auto redirected = get("e2ee/nodes?after=x%2Fy");
    EXPECT_EQ(redirected.status, 302);
    const std::string location = redirected.header("location");
    EXPECT_EQ(location.rfind("https://127.0.0.1:", 0), 0u) << location;
    EXPECT_EQ(location.substr(location.find('/', 8)), "/api/v1/e2ee/nodes?after=x%2Fy");
    EXPECT_NE(location.substr(0, location.find('/', 8)), "https://127.0.0.1:" + std::to_string(service->port()));
    // Not followed: nothing reached the second host.
    EXPECT_EQ(api().secondHostConnections(), 0u);
    EXPECT_EQ(api().secondHostRequests(), 0u);
    EXPECT_EQ(service->requests().size(), 1u);
    // Used up: the route answers for itself; other routes never matched.
    EXPECT_EQ(get("e2ee/nodes?after=").status, 200);
    EXPECT_EQ(get("e2ee/account").status, 200);

    // A client that follows it is counted there.
    auto followed = fetchDirectly(location, service->caCertificateFile());
    EXPECT_EQ(followed.result, CURLE_OK);
    EXPECT_EQ(followed.status, 200);
    EXPECT_EQ(followed.body, "{}");
    EXPECT_EQ(api().secondHostConnections(), 1u);
    EXPECT_EQ(api().secondHostRequests(), 1u);

    api().redirectToSecondHost({"", "", "/api/v1/"}, AccountApi::kEveryCall);
    for (const char* path : {"e2ee/account", "e2ee/files?after="}) EXPECT_EQ(get(path).status, 302) << path;
    service->clearFaults();
    EXPECT_EQ(get("e2ee/account").status, 200);
}

std::filesystem::path writeSeed(const std::filesystem::path& directory, const std::string& text) {
    std::filesystem::create_directories(directory);
    auto seed = directory / "seed.json";
    std::ofstream(seed) << text;
    return seed;
}

TEST(localservice_account_seed, DemoSeedHasAPlainAccountOnItsDrive) {
    LocalService service({{}, 0, std::filesystem::path(LOCALSERVICE_DEMO_SEED)});
    auto account = Json::parse(service.accountApi().account());
    EXPECT_EQ(account["mode"], "legacy");
    EXPECT_EQ(account["format"], "nimbuscrate-tink-aes256-v1");
    EXPECT_EQ(account["onboardingRequired"], false);
    ASSERT_TRUE(account.contains("keyRecord"));
    EXPECT_TRUE(account["keyRecord"].is_null());
    EXPECT_EQ(account["ownedDriveIds"], Json::array({"demo-nimbuscrate"}));
    EXPECT_EQ(account["primaryDriveId"], "demo-nimbuscrate");
    EXPECT_EQ(service.drives().at(1).id, "demo-nimbuscrate");
}

TEST(localservice_account_seed, SeedAccountIsOptionalAndChecked) {
    auto directory = std::filesystem::temp_directory_path() / ("account-seed-" + randomHex(6));
    {
        LocalService service({directory / "data", 0, writeSeed(directory, R"({"drives": []})")});
        EXPECT_EQ(service.accountApi().account(), AccountApi::kPlainAccount);
    }
    {
        LocalService service({directory / "data", 0, writeSeed(directory, R"({"drives": [], "account": {"accountId": "s"}})")});
        EXPECT_EQ(Json::parse(service.accountApi().account()), Json({{"accountId", "s"}}));
    }
    for (const char* bad : {R"({"drives": [], "account": [1]})", R"({"drives": [], "account": {"v": 0.5}})"}) {
        EXPECT_THROW(LocalService({directory / "data", 0, writeSeed(directory, bad)}), std::runtime_error) << bad;
    }
    std::filesystem::remove_all(directory);
}

TEST(localservice_account_seed, SeedRecordsOfAnEncryptedAccountAreStoredAsTheirFirstVersions) {
    auto directory = std::filesystem::temp_directory_path() / ("account-seed-" + randomHex(6));
    const Json node = {{"value", {{"nodeId", "n1"}, {"generation", 1}, {"name", "opaque"}}}, {"signature", "s"}};
    const Json file = {{"manifest", {{"value", {{"nodeId", "f1"}}}}}, {"generation", 1}, {"current", true}};
    const Json seed = {{"drives", Json::array()},
                       {"encryptedNodes", Json::array({node})},
                       {"encryptedFiles", Json::array({file})}};
    {
        LocalService service({directory / "data", 0, writeSeed(directory, seed.dump())});
        EXPECT_EQ(Json::parse(*service.accountApi().storedRecord(AccountApi::Collection::nodes, "n1")), node);
        EXPECT_EQ(Json::parse(*service.accountApi().storedRecord(AccountApi::Collection::files, "f1")), file);
        EXPECT_EQ(service.accountApi().versionCount(AccountApi::Collection::nodes, "n1"), 1u);
    }
    const std::pair<const char*, Json> bad[] = {
        {"nodes not an array", {{"drives", Json::array()}, {"encryptedNodes", node}}},
        {"a node without a generation", {{"drives", Json::array()}, {"encryptedNodes", {{{"value", {{"nodeId", "n"}}}}}}}},
        {"a file without a node id", {{"drives", Json::array()}, {"encryptedFiles", {{{"generation", 1}}}}}},
        {"a node given twice at one generation", {{"drives", Json::array()}, {"encryptedNodes", {node, node}}}},
    };
    for (const auto& [name, text] : bad) {
        EXPECT_THROW(LocalService({directory / "data", 0, writeSeed(directory, text.dump())}), std::runtime_error)
            << name;
    }
    std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace nimbuscrate::localservice::testing
