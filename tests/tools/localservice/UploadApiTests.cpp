// The resumable uploads of encrypted blobs: reservation, signed part URLs,
// part uploads, completion with publishing, heartbeats and their knobs.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <future>

#include "tests/tools/localservice/ServiceFixture.h"
#include "tools/localservice/AccountApi.h"
#include "tools/localservice/UploadApi.h"

namespace nimbuscrate::localservice::testing {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;
using Step = UploadApi::Step;

std::string apiUrl(const std::string& path) { return "https://" + accountApiHost() + "/api/v1/" + path; }

const std::string kAccount = R"({"accountId":"acct_1","mode":"required","ownedDriveIds":["d1"],"primaryDriveId":"d1"})";

// A signed manifest as the service sees it (it checks shapes, never signatures).
Json manifest(const std::string& nodeId, const std::string& revisionId, std::int64_t length,
              std::int64_t previousGeneration = 0, std::optional<std::int64_t> nodeGeneration = 1) {
    Json value = {{"accountId", "acct_1"},
                  {"nodeId", nodeId},
                  {"revisionId", revisionId},
                  {"parentId", "root"},
                  {"previousGeneration", previousGeneration},
                  {"ciphertextLength", length}};
    if (nodeGeneration) {
        value["node"] = {{"value", {{"nodeId", nodeId}, {"generation", *nodeGeneration}, {"kind", "file"}}},
                         {"signature", "node-signature"}};
    }
    return {{"value", value}, {"signature", "manifest-signature"}};
}

class localservice_uploads : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        service->accountApi().setAccount(kAccount);
        uploads().setPartSize(4);
    }
    UploadApi& uploads() { return service->uploads(); }

    Reply reserve(const Json& body, const std::string& length) {
        std::vector<std::string> headers{bearer(), "Content-Type: application/json"};
        if (!length.empty()) headers.push_back("Upload-Length: " + length);
        return client->send("POST", apiUrl("uploads"), headers, body.dump());
    }
    Json reservationBody(const Json& signedManifest) {
        const Json& value = signedManifest["value"];
        return {{"driveId", "d1"},
                {"parentItemId", "d1"},
                {"name", value["nodeId"].get<std::string>() + "-" + value["revisionId"].get<std::string>() + ".nbenc"},
                {"encryption", signedManifest}};
    }
    // Reserves an upload of `bytes` for a new file "n1"; returns the reply.
    Json reserveNew(const std::string& bytes, const std::string& nodeId = "n1", const std::string& revision = "r1") {
        const Reply reply = reserve(reservationBody(manifest(nodeId, revision, static_cast<std::int64_t>(bytes.size()))),
                                    std::to_string(bytes.size()));
        EXPECT_EQ(reply.status, 201) << reply.body;
        return Json::parse(reply.body);
    }
    Json location(const std::string& id, std::size_t part) {
        const Reply reply = client->get(apiUrl("uploads/" + id + "/parts?from=" + std::to_string(part) + "&count=1"),
                                        {bearer()});
        EXPECT_EQ(reply.status, 200) << reply.body;
        return Json::parse(reply.body)["parts"][0];
    }
    // PUTs the bytes to a part location with exactly its listed headers (plus `extra`).
    Reply put(const Json& part, const std::string& bytes, std::vector<std::string> extra = {}) {
        std::vector<std::string> headers = std::move(extra);
        for (const auto& [name, value] : part["headers"].items()) headers.push_back(name + ": " + value.get<std::string>());
        return client->send("PUT", part["url"].get<std::string>(), headers, bytes);
    }
    Reply post(const std::string& path) { return client->send("POST", apiUrl(path), {bearer()}, "", false); }
    // Sends every part of the bytes.
    void sendAll(const Json& reservation, const std::string& bytes) {
        const std::string id = reservation["id"];
        const std::size_t size = reservation["partSize"];
        for (std::size_t part = 1; part <= reservation["partCount"].get<std::size_t>(); ++part) {
            const Reply reply = put(location(id, part), bytes.substr((part - 1) * size, size));
            ASSERT_EQ(reply.status, 200) << reply.body;
        }
    }
};

TEST_F(localservice_uploads, AnUploadInPartsPublishesTheBlobTheFileRecordAndTheEmbeddedNode) {
    const std::string bytes = "0123456789";
    const Json reservation = reserveNew(bytes);
    const std::string id = reservation["id"];
    EXPECT_EQ(reservation["partSize"], 4);
    EXPECT_EQ(reservation["partCount"], 3);
    EXPECT_EQ(reservation["heartbeatSeconds"], 30);

    const Json first = location(id, 1);
    EXPECT_EQ(first["number"], 1);
    EXPECT_EQ(first["length"], 4);
    EXPECT_EQ(first["headers"], Json({{"Content-Type", "application/octet-stream"}}));
    EXPECT_TRUE(first["url"].get<std::string>().starts_with("https://" + accountApiHost() + "/upload-parts/" + id + "/1?"));
    EXPECT_EQ(location(id, 3)["length"], 2);

    sendAll(reservation, bytes);
    // Part 2 again, as a retry would: the later bytes replace the earlier ones.
    ASSERT_EQ(put(location(id, 2), "ABCD").status, 200);
    EXPECT_EQ(uploads().storedPartCount(id), 3u);

    const Reply done = post("uploads/" + id + "/complete");
    ASSERT_EQ(done.status, 200) << done.body;
    EXPECT_EQ(Json::parse(done.body), Json({{"id", id}, {"state", "complete"}}));
    EXPECT_EQ(readFile("n1-r1.nbenc"), "0123ABCD89");
    const Json record = Json::parse(*service->accountApi().storedRecord(AccountApi::Collection::files, "n1"));
    EXPECT_EQ(record, Json({{"manifest", manifest("n1", "r1", 10)},
                            {"driveId", "d1"},
                            {"parentItemId", "d1"},
                            {"opaqueName", "n1-r1.nbenc"},
                            {"ciphertextLength", 10},
                            {"revisionId", "r1"},
                            {"generation", 1},
                            {"current", true}}));
    EXPECT_EQ(Json::parse(*service->accountApi().storedRecord(AccountApi::Collection::nodes, "n1")),
              manifest("n1", "r1", 10)["value"]["node"]);

    // Completing again changes nothing and answers the same.
    const Reply again = post("uploads/" + id + "/complete");
    EXPECT_EQ(again.status, 200);
    EXPECT_EQ(again.body, done.body);
    EXPECT_EQ(service->accountApi().versionCount(AccountApi::Collection::files, "n1"), 1u);
}

TEST_F(localservice_uploads, ReservationsThatBreakTheRulesAreRefused) {
    service->addDrive({"d2", "Someone else's", std::string("project"), ""});
    service->accountApi().putFile(Json({{"manifest", manifest("old", "r0", 10)}, {"generation", 1}}).dump());
    struct Case {
        const char* label;
        Json body;
        std::string length;
        long status;
    };
    const Json good = reservationBody(manifest("n1", "r1", 10));
    auto with = [&](const char* member, Json value) {
        Json body = good;
        body[member] = std::move(value);
        return body;
    };
    Json otherDrive = good;
    otherDrive["driveId"] = "d2";
    otherDrive["parentItemId"] = "d2";
    Json otherAccount = good;
    otherAccount["encryption"]["value"]["accountId"] = "acct_2";
    const std::vector<Case> cases = {
        {"no Upload-Length", good, "", 400},
        {"a length that is not decimal", good, "+10", 400},
        {"another length than the manifest's", good, "11", 400},
        {"a name that is not the manifest's", with("name", "n1-r2.nbenc"), "10", 400},
        {"a parent other than the drive", with("parentItemId", "folder"), "10", 400},
        {"no manifest", with("encryption", nullptr), "10", 400},
        {"an unknown drive", with("driveId", "d9"), "10", 404},
        {"a drive the account does not own", otherDrive, "10", 403},
        {"another account's manifest", otherAccount, "10", 403},
        {"a stale revision", reservationBody(manifest("old", "r1", 10, 0)), "10", 409},
        {"a node generation that is not the next", reservationBody(manifest("n1", "r1", 10, 0, 2)), "10", 409},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const Reply reply = reserve(c.body, c.length);
        EXPECT_EQ(reply.status, c.status) << reply.body;
    }
    EXPECT_TRUE(uploads().uploadIds().empty());
    // The part after the stored one is taken.
    EXPECT_EQ(reserve(reservationBody(manifest("old", "r1", 10, 1, std::nullopt)), "10").status, 201);
}

TEST_F(localservice_uploads, APartUploadMustBeSignedCarryTheListedHeadersAndNoToken) {
    uploads().setPartHeaders({{"Content-Type", "application/octet-stream"}, {"X-Part-Token", "t-1"}});
    const Json reservation = reserveNew("0123456789");
    const std::string id = reservation["id"];
    const Json part = location(id, 1);
    Json forged = part;
    std::string url = part["url"];
    forged["url"] = url.substr(0, url.size() - 1) + (url.back() == '0' ? "1" : "0");
    Json otherPart = part;
    otherPart["url"] = std::string(url).replace(url.find("/1?"), 3, "/2?");
    Json missingHeader = part;
    missingHeader["headers"].erase("X-Part-Token");
    Json wrongValue = part;
    wrongValue["headers"]["X-Part-Token"] = "t-2";

    struct Case {
        const char* label;
        Json part;
        std::string bytes;
        std::vector<std::string> extra;
        long status;
    };
    const std::vector<Case> cases = {
        {"a forged signature", forged, "0123", {}, 403},
        {"another part's signature", otherPart, "0123", {}, 403},
        {"a bearer token", part, "0123", {bearer()}, 400},
        {"a listed header left out", missingHeader, "0123", {}, 403},
        {"a listed header changed", wrongValue, "0123", {}, 403},
        {"too few bytes", part, "012", {}, 400},
        {"too many bytes", part, "01234", {}, 400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(put(c.part, c.bytes, c.extra).status, c.status);
    }
    EXPECT_EQ(uploads().storedPartCount(id), 0u);
    EXPECT_EQ(put(part, "0123").status, 200);
    EXPECT_EQ(uploads().storedPartCount(id), 1u);
    // Every part must be there before the upload completes.
    EXPECT_EQ(post("uploads/" + id + "/complete").status, 400);
}

TEST_F(localservice_uploads, CompleteAnswersCompletingAsConfiguredThenPublishes) {
    uploads().setCompletingReplies(2);
    const std::string bytes = "abcdef";
    const Json reservation = reserveNew(bytes);
    const std::string id = reservation["id"];
    sendAll(reservation, bytes);
    for (const char* expected : {"completing", "completing", "complete"}) {
        const Reply reply = post("uploads/" + id + "/complete");
        ASSERT_EQ(reply.status, 200);
        EXPECT_EQ(Json::parse(reply.body)["state"], expected);
        EXPECT_EQ(uploads().isComplete(id), std::string(expected) == "complete");
    }
    EXPECT_EQ(readFile("n1-r1.nbenc"), bytes);
}

TEST_F(localservice_uploads, ARevisionPublishedMeanwhileMakesTheCompletionAConflict) {
    const std::string bytes = "abcdef";
    const Json reservation = reserveNew(bytes);
    const std::string id = reservation["id"];
    sendAll(reservation, bytes);
    // Another device's revision of the same new file lands first.
    const Json other = reserveNew("xyz", "n1", "r2");
    sendAll(other, "xyz");
    ASSERT_EQ(post("uploads/" + other["id"].get<std::string>() + "/complete").status, 200);

    EXPECT_EQ(post("uploads/" + id + "/complete").status, 409);
    EXPECT_FALSE(uploads().isComplete(id));
    EXPECT_EQ(uploads().storedPartCount(id), 2u);
    EXPECT_FALSE(std::filesystem::exists(onDisk("n1-r1.nbenc")));
    EXPECT_EQ(service->accountApi().versionCount(AccountApi::Collection::files, "n1"), 1u);
    EXPECT_EQ(service->accountApi().versionCount(AccountApi::Collection::nodes, "n1"), 1u);
}

TEST_F(localservice_uploads, AStoredPartChangesOnlyWhenAPutReplacingItPassesEveryCheck) {
    const std::string bytes = "0123456789";
    const Json reservation = reserveNew(bytes);
    const std::string id = reservation["id"];
    // Part 1's first upload fails once its bytes have arrived; the next one stores it.
    uploads().fail(Step::partUpload, 500, 1, 1);
    EXPECT_EQ(put(location(id, 1), "WXYZ").status, 500);
    EXPECT_EQ(uploads().storedPartCount(id), 0u);
    sendAll(reservation, bytes);
    // Part 2 sent again and refused: by a knob, for a token, for its length.
    uploads().fail(Step::partUpload, 500, 1, 2);
    EXPECT_EQ(put(location(id, 2), "ABCD").status, 500);
    EXPECT_EQ(put(location(id, 2), "ABCD", {bearer()}).status, 400);
    EXPECT_EQ(put(location(id, 2), "ABC").status, 400);
    // Part 3 sent again and stored, then once more and refused.
    ASSERT_EQ(put(location(id, 3), "xy").status, 200);
    uploads().fail(Step::partUpload, 500, 1, 3);
    EXPECT_EQ(put(location(id, 3), "zz").status, 500);
    EXPECT_EQ(uploads().storedPartCount(id), 3u);

    ASSERT_EQ(post("uploads/" + id + "/complete").status, 200);
    EXPECT_EQ(readFile("n1-r1.nbenc"), "01234567xy");
}

TEST_F(localservice_uploads, APartPutUnderWayWhenTheUploadCompletesChangesNothingPublished) {
    const std::string bytes = "abcdef";
    const Json reservation = reserveNew(bytes);
    const std::string id = reservation["id"];
    sendAll(reservation, bytes);
    ASSERT_EQ(put(location(id, 1), "ABCD").status, 200);
    // Part 1 once more: its bytes have arrived when the PUT waits at the gate.
    const auto gate = uploads().hold(Step::partUpload, 1);
    const Json part = location(id, 1);
    auto late = std::async(std::launch::async, [&] { return put(part, "WXYZ"); });
    ASSERT_TRUE(gate->waitForArrivals(1, 10s));
    const Reply done = post("uploads/" + id + "/complete");
    gate->open();
    EXPECT_EQ(late.get().status, 410);
    ASSERT_EQ(done.status, 200) << done.body;
    EXPECT_EQ(readFile("n1-r1.nbenc"), "ABCDef");
}

TEST_F(localservice_uploads, HeartbeatsKeepAReservationAndAnExpiredOneIsGone) {
    const Json reservation = reserveNew("abcdef");
    const std::string id = reservation["id"];
    const Reply beat = post("uploads/" + id + "/heartbeat");
    ASSERT_EQ(beat.status, 200) << beat.body;
    EXPECT_EQ(Json::parse(beat.body)["expiresIn"], 3600);
    EXPECT_EQ(uploads().heartbeatCount(id), 1u);
    const Json part = location(id, 1);

    uploads().expire(id);
    EXPECT_EQ(post("uploads/" + id + "/heartbeat").status, 410);
    EXPECT_EQ(client->get(apiUrl("uploads/" + id + "/parts?from=1&count=1"), {bearer()}).status, 410);
    EXPECT_EQ(put(part, "abcd").status, 410);
    EXPECT_EQ(post("uploads/" + id + "/complete").status, 410);
    EXPECT_EQ(post("uploads/upl_unknown/complete").status, 404);
    EXPECT_EQ(client->get(apiUrl("uploads/upl_unknown/parts?from=1&count=1"), {bearer()}).status, 404);
    // The API itself wants the bearer token; a part URL does not.
    EXPECT_EQ(client->send("POST", apiUrl("uploads"), {"Upload-Length: 6"}, "{}").status, 401);
}

TEST_F(localservice_uploads, KnobsFailHoldAndChangeReplies) {
    uploads().setHeartbeatSeconds(std::nullopt);
    uploads().overrideReservationReply(R"({"id":"bad id"})");
    const Reply bad = reserve(reservationBody(manifest("n1", "r1", 6)), "6");
    EXPECT_EQ(bad.status, 201);
    EXPECT_EQ(bad.body, R"({"id":"bad id"})");
    EXPECT_TRUE(uploads().uploadIds().empty());

    const Json reservation = reserveNew("abcdef");
    EXPECT_FALSE(reservation.contains("heartbeatSeconds"));
    const std::string id = reservation["id"];

    uploads().overridePartMember("headers", R"({"X-Note":"a\r\nAuthorization: Bearer x"})");
    EXPECT_EQ(location(id, 1)["headers"], Json({{"X-Note", "a\r\nAuthorization: Bearer x"}}));
    EXPECT_EQ(location(id, 1)["headers"], Json({{"Content-Type", "application/octet-stream"}}));

    uploads().fail(Step::partUpload, 500, 2, 1);
    const Json part = location(id, 1);
    EXPECT_EQ(put(part, "abcd").status, 500);
    EXPECT_EQ(put(part, "abcd").status, 500);
    EXPECT_EQ(put(part, "abcd").status, 200);
    EXPECT_EQ(put(location(id, 2), "ef").status, 200);

    const auto gate = uploads().hold(Step::complete);
    auto completion = std::async(std::launch::async, [&] { return post("uploads/" + id + "/complete"); });
    ASSERT_TRUE(gate->waitForArrivals(1, 10s));
    EXPECT_EQ(completion.wait_for(100ms), std::future_status::timeout);
    EXPECT_FALSE(uploads().isComplete(id));
    uploads().fail(Step::complete, 503);
    gate->open();
    EXPECT_EQ(completion.get().status, 503);
    EXPECT_EQ(post("uploads/" + id + "/complete").status, 200);
}

}  // namespace
}  // namespace nimbuscrate::localservice::testing
