// Encrypted contents in the local service: blobs read by ranged WebDAV GET
// with their fault knobs, and sealed thumbnails on the media service.
#include <gtest/gtest.h>

#include <future>

#include "tests/tools/localservice/ServiceFixture.h"
#include "tools/localservice/AccountApi.h"
#include "tools/localservice/EncryptedThumbnailStore.h"

namespace nimbuscrate::localservice::testing {
namespace {

using namespace std::chrono_literals;

const std::string kBlob = "node-rev.nbenc";

class localservice_encrypted_content : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        for (int i = 0; i < 100; ++i) blob += static_cast<char>('A' + i % 26);
        writeFile(kBlob, blob);
    }
    Reply range(const std::string& spec) { return client->get(davUrl("/" + kBlob), {bearer(), "Range: " + spec}); }
    std::string thumbnailUrl(const std::string& query) const { return mediaUrl("/v1/encrypted-thumbnail?" + query); }

    std::string blob;
};

TEST_F(localservice_encrypted_content, BlobsAnswerRangesWith206Or416) {
    Reply part = range("bytes=2-5");
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.header("content-range"), "bytes 2-5/100");
    EXPECT_EQ(part.body, "CDEF");
    Reply whole = client->get(davUrl("/" + kBlob), {bearer()});
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body, blob);
    Reply past = range("bytes=100-109");
    EXPECT_EQ(past.status, 416);
    EXPECT_EQ(past.header("content-range"), "bytes */100");
}

TEST_F(localservice_encrypted_content, RangeFaultsChangeTheReply) {
    const Route route{"GET", "", "/dav/spaces/d1/" + kBlob};
    struct FaultCase {
        RangeFault fault;
        long status;
        std::string contentRange;
        std::string body;
    };
    const FaultCase cases[] = {
        {RangeFault::ignoreRange, 200, "", blob},
        {RangeFault::unknownTotal, 206, "bytes 2-5/*", "CDEF"},
        {RangeFault::wrongTotal, 206, "bytes 2-5/101", "CDEF"},
        {RangeFault::oneByteMore, 206, "bytes 2-5/100", "CDEFZ"},
        {RangeFault::oneByteLess, 206, "bytes 2-5/100", "CDE"},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fault));
        service->rangeFault(route, c.fault);
        Reply reply = range("bytes=2-5");
        EXPECT_EQ(reply.result, CURLE_OK);
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.header("content-range"), c.contentRange);
        EXPECT_EQ(reply.body, c.body);
        // Used up: the next read is right again, and the log kept what was sent.
        EXPECT_EQ(range("bytes=2-5").body, "CDEF");
        EXPECT_EQ(service->requests().all().back().header("Range"), "bytes=2-5");
    }
    // One byte more at the end of the blob too.
    service->rangeFault(route, RangeFault::oneByteMore);
    EXPECT_EQ(range("bytes=98-99").body, "UVZ");
}

TEST_F(localservice_encrypted_content, AStalledBodyWaitsPartWayUntilReleased) {
    auto gate = service->stallBody({"GET", "", "/dav/spaces/d1/"}, 10);
    auto reading = std::async(std::launch::async, [&] { return range("bytes=0-49"); });
    ASSERT_TRUE(gate->waitForArrivals(1, 10s));
    EXPECT_EQ(reading.wait_for(200ms), std::future_status::timeout);
    gate->open();
    Reply reply = reading.get();
    EXPECT_EQ(reply.status, 206);
    EXPECT_EQ(reply.body, blob.substr(0, 50));
}

TEST_F(localservice_encrypted_content, SealedThumbnailsAreServedAsStored) {
    const std::string sealed("\x28\x00sealed\xff bytes", 15);
    EXPECT_EQ(client->get(thumbnailUrl("nodeId=n1&revisionId=r1"), {bearer()}).status, 404);
    service->putEncryptedThumbnail("n1", "r1", sealed);
    Reply stored = client->get(thumbnailUrl("nodeId=n1&revisionId=r1"), {bearer()});
    EXPECT_EQ(stored.status, 200);
    EXPECT_EQ(stored.body, sealed);
    EXPECT_EQ(stored.header("content-type"), "application/octet-stream");
    EXPECT_EQ(client->get(thumbnailUrl("nodeId=n1&revisionId=r2"), {bearer()}).status, 404);
    EXPECT_EQ(client->get(thumbnailUrl("nodeId=n1"), {bearer()}).status, 400);
    EXPECT_EQ(client->get(thumbnailUrl("nodeId=n1&revisionId=r1")).status, 401);
    EXPECT_EQ(client->send("DELETE", thumbnailUrl("nodeId=n1&revisionId=r1"), {bearer()}, "", false).status, 405);
}

TEST_F(localservice_encrypted_content, APostStoresTheUploadedBlobOfTheRevisionAsItsThumbnail) {
    const auto post = [&](const std::string& query, const std::string& body = "") {
        return client->send("POST", thumbnailUrl(query), {bearer(), "Content-Type: application/octet-stream"}, body,
                            !body.empty());
    };
    // No file record of the node yet, then one of another revision.
    EXPECT_EQ(post("nodeId=n1&revisionId=r1").status, 404);
    service->accountApi().putFile(
        R"({"manifest":{"value":{"nodeId":"n1"}},"driveId":"d1","parentItemId":"d1","opaqueName":")" + kBlob +
        R"(","revisionId":"r1","generation":1})");
    EXPECT_EQ(post("nodeId=n1&revisionId=r0").status, 404);
    EXPECT_EQ(post("nodeId=n1").status, 400);
    EXPECT_EQ(post("nodeId=n1&revisionId=r1", "a body").status, 400);
    EXPECT_EQ(client->get(thumbnailUrl("nodeId=n1&revisionId=r1"), {bearer()}).status, 404);

    Reply stored = post("nodeId=n1&revisionId=r1");
    EXPECT_EQ(stored.status, 200);
    EXPECT_EQ(stored.body, R"({"stored":true})");
    EXPECT_EQ(client->get(thumbnailUrl("nodeId=n1&revisionId=r1"), {bearer()}).body, blob);

    // Knobs: a refusal stores nothing; a padded reply has exactly the length asked.
    service->encryptedThumbnails().refuseStores(1);
    service->putEncryptedThumbnail("n1", "r1", "older");
    EXPECT_EQ(post("nodeId=n1&revisionId=r1").body, R"({"stored":false})");
    EXPECT_EQ(client->get(thumbnailUrl("nodeId=n1&revisionId=r1"), {bearer()}).body, "older");
    service->encryptedThumbnails().padStoreReplies(1025, 1);
    Reply padded = post("nodeId=n1&revisionId=r1");
    EXPECT_EQ(padded.body.size(), 1025u);
    EXPECT_TRUE(padded.body.starts_with(R"({"stored":true,)")) << padded.body;
    EXPECT_EQ(post("nodeId=n1&revisionId=r1").body, R"({"stored":true})");
}

TEST_F(localservice_encrypted_content, RedirectKnobsReachBlobsAndThumbnails) {
    service->putEncryptedThumbnail("n1", "r1", "sealed");
    service->accountApi().redirectToSecondHost({"GET", "", "/dav/spaces/d1/"}, 1);
    service->accountApi().redirectToSecondHost({"GET", "", "/v1/encrypted-thumbnail"}, 1);
    Reply blobReply = range("bytes=0-3");
    EXPECT_EQ(blobReply.status, 302);
    EXPECT_NE(blobReply.header("location").find("/dav/spaces/d1/" + kBlob), std::string::npos);
    Reply thumbnailReply = client->get(thumbnailUrl("nodeId=n1&revisionId=r1"), {bearer()});
    EXPECT_EQ(thumbnailReply.status, 302);
    EXPECT_NE(thumbnailReply.header("location").find("/v1/encrypted-thumbnail?nodeId=n1&revisionId=r1"),
              std::string::npos);
    EXPECT_EQ(service->accountApi().secondHostRequests(), 0u);
    // Used up.
    EXPECT_EQ(range("bytes=0-3").status, 206);
    EXPECT_EQ(client->get(thumbnailUrl("nodeId=n1&revisionId=r1"), {bearer()}).body, "sealed");
}

}  // namespace
}  // namespace nimbuscrate::localservice::testing
