// Stored thumbnails of encrypted files: the media service first, the blob
// when it has none, shared lookups per revision, and their bounds.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "platform/core/CancellationError.h"
#include "tests/shared/encryption-client/E2EEDownloadFixture.h"
#include "tests/support/Eventually.h"

namespace nimbuscrate {
namespace {

using Case = E2EEError::Case;
using localservice::ReplyOverride;
using localservice::Route;
using namespace std::chrono_literals;
using testing::desktopErrorOf;
using testing::E2EERecordBuilder;
using testing::e2eeErrorOf;
using testing::kMediaHost;
using testing::kWebAppHost;
using testing::patternBytes;

const std::string kJPEG = "\xff\xd8\xff\xe0 a small JPEG stand-in \xff\xd9";

class E2EEClientThumbnail : public testing::E2EEDownloadFixture {
protected:
    void SetUp() override {
        E2EEDownloadFixture::SetUp();
        if (IsSkipped()) return;
        source = seedEncryptedFile("photo-1", patternBytes(3000), "photo.jpg", "image/jpeg");
        thumbnail = seedThumbnail(source, "thumb-1", kJPEG);
        item = itemNamed("photo.jpg");
        media = Route{"GET", kMediaHost, "/v1/encrypted-thumbnail"};
        thumbnailBlob = Route{"GET", kWebAppHost, blobPath(thumbnail)};
        service.requests().clear();
    }

    std::size_t mediaRequests() { return requestsTo(kMediaHost).size(); }
    std::size_t blobRequests() { return service.requests().matching("GET", blobPath(thumbnail)).size(); }
    static std::string text(const std::optional<Bytes>& bytes) {
        return bytes ? std::string(bytes->begin(), bytes->end()) : "(none)";
    }

    E2EEJSON source;
    E2EEJSON thumbnail;
    RemoteItem item;
    Route media;
    Route thumbnailBlob;
};

TEST_F(E2EEClientThumbnail, TheMediaServiceAnswersWithOneRequestOfOneHeader) {
    EXPECT_EQ(text(client->fetchEncryptedThumbnail(item, {})), kJPEG);
    const auto requests = requestsTo(kMediaHost);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/v1/encrypted-thumbnail");
    EXPECT_EQ(requests[0].queryValue("nodeId"), "thumb-1");
    EXPECT_EQ(requests[0].queryValue("revisionId"), "rev-thumb-1");
    EXPECT_EQ(requests[0].headers.fields().size(), 2u);  // Host and Authorization
    EXPECT_EQ(requests[0].header("Authorization"), "Bearer " + session.tokens.accessToken);
    EXPECT_EQ(blobRequests(), 0u);
}

TEST_F(E2EEClientThumbnail, FallbackTable) {
    const std::string message = E2EEClient::kThumbnailFailureMessage;
    struct FallbackCase {
        int mediaStatus;  // 0: the stored bytes
        int blobStatus;   // 0: the stored bytes
        std::optional<std::string> bytes;
        long errorStatus = 0;  // DesktopError::server(errorStatus, message) when no bytes
        std::size_t blobCalls = 0;
    };
    const FallbackCase cases[] = {
        {0, 0, kJPEG, 0, 0},
        {404, 0, kJPEG, 0, 1},
        {410, 0, kJPEG, 0, 1},
        {500, 0, kJPEG, 0, 1},
        {503, 0, kJPEG, 0, 1},
        {403, 0, std::nullopt, 403, 0},
        {401, 0, std::nullopt, 401, 0},
        {404, 404, "(none)", 0, 1},  // moves on, then generation (none yet)
        {503, 410, "(none)", 0, 1},
        {404, 500, std::nullopt, 500, 1},
        {410, 403, std::nullopt, 403, 1},
    };
    for (const FallbackCase& c : cases) {
        SCOPED_TRACE("media " + std::to_string(c.mediaStatus) + ", blob " + std::to_string(c.blobStatus));
        service.clearFaults();
        service.requests().clear();
        if (c.mediaStatus) service.overrideStatus(media, c.mediaStatus, 1, "{}");
        if (c.blobStatus) service.overrideStatus(thumbnailBlob, c.blobStatus, 1, "{}");
        if (c.bytes) {
            EXPECT_EQ(text(client->fetchEncryptedThumbnail(item, {})), *c.bytes);
        } else {
            EXPECT_EQ(desktopErrorOf([&] { client->fetchEncryptedThumbnail(item, {}); }),
                      DesktopError::server(c.errorStatus, message));
        }
        EXPECT_EQ(mediaRequests(), 1u);
        EXPECT_EQ(blobRequests(), c.blobCalls);
    }

    // A redirect from the media service is its answer: no blob, nothing at the target.
    service.clearFaults();
    service.accountApi().redirectToSecondHost(media);
    EXPECT_EQ(desktopErrorOf([&] { client->fetchEncryptedThumbnail(item, {}); }), DesktopError::server(302, message));
    service.accountApi().redirectToSecondHost(thumbnailBlob);
    EXPECT_EQ(desktopErrorOf([&] { client->requestEncryptedThumbnail(thumbnail, false); }),
              DesktopError::server(302, message));
    EXPECT_EQ(service.accountApi().secondHostConnections(), 0u);
}

TEST_F(E2EEClientThumbnail, AnEntryMissingEverywhereMovesOnToTheNext) {
    // Entries are tried newest revision first: "rev-thumb-2" before "rev-thumb-1".
    const E2EEJSON newer = seedThumbnail(source, "thumb-2", "newer thumbnail", false, false);
    (void)newer;
    client->refreshSnapshot(true);
    service.requests().clear();
    EXPECT_EQ(text(client->fetchEncryptedThumbnail(item, {})), kJPEG);
    const auto asked = requestsTo(kMediaHost);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].queryValue("nodeId"), "thumb-2");
    EXPECT_EQ(asked[1].queryValue("nodeId"), "thumb-1");
    EXPECT_EQ(service.requests().matching("GET", blobPath(newer)).size(), 1u);
}

TEST_F(E2EEClientThumbnail, CiphertextLengthsAreBoundedBeforeAnyRequestAndWhileReading) {
    for (const std::int64_t size : {std::int64_t{0}, std::int64_t{262'145}}) {
        SCOPED_TRACE(size);
        E2EERecordBuilder::FileSpec spec;
        spec.nodeId = "bounds";
        spec.revisionId = "rev-" + std::to_string(size);
        spec.size = size;
        spec.embeddedGeneration.reset();
        const E2EEJSON entry = builder.fileRecord(spec);
        EXPECT_EQ(entry.member("ciphertextLength").safeInteger(), size + 56);
        EXPECT_EQ(e2eeErrorOf([&] { client->requestEncryptedThumbnail(entry, true); }), Case::invalid);
        EXPECT_EQ(e2eeErrorOf([&] { client->requestEncryptedThumbnail(entry, false); }), Case::invalid);
    }
    EXPECT_EQ(mediaRequests(), 0u);
    EXPECT_TRUE(requestsTo(kWebAppHost).empty());

    // A body one byte longer than the manifest says fails while it arrives.
    const Bytes sealed = E2EECrypto::sealSmallPayload(bytesOf(kJPEG), open(thumbnail));
    service.overrideReply(media, ReplyOverride{200, {}, std::string(sealed.begin(), sealed.end()) + "x"});
    EXPECT_EQ(e2eeErrorOf([&] { client->requestEncryptedThumbnail(thumbnail, true); }), Case::invalid);
    // One byte short, or tampered: the payload does not open.
    service.overrideReply(media, ReplyOverride{200, {}, std::string(sealed.begin(), sealed.end() - 1)});
    EXPECT_EQ(e2eeErrorOf([&] { client->requestEncryptedThumbnail(thumbnail, true); }), Case::invalid);
}

TEST_F(E2EEClientThumbnail, ASessionChangeDuringTheRequestIsSessionChanged) {
    const auto gate = service.hold(media);
    auto fetching = std::async(std::launch::async, [&] { return e2eeErrorOf([&] { client->fetchEncryptedThumbnail(item, {}); }); });
    ASSERT_TRUE(gate->waitForArrivals(1, 10s));
    signIn(3600);
    gate->open();
    EXPECT_EQ(fetching.get(), Case::sessionChanged);
}

class E2EEClientSharedThumbnail : public E2EEClientThumbnail {
protected:
    // Starts a fetch on its own thread once the one before it is waiting.
    std::future<std::optional<Bytes>> startFetch(std::stop_token stop) {
        return std::async(std::launch::async, [this, stop] { return client->fetchEncryptedThumbnail(item, stop); });
    }
    // Waits until a later caller has asked for the account (its last
    // request before it joins the lookup) and has had time to join.
    void waitForJoiner(std::size_t accountRequestsBefore) {
        ASSERT_TRUE(testing::eventually(
            [&] { return countRequests("GET", "/api/v1/e2ee/account") > accountRequestsBefore; }));
        std::this_thread::sleep_for(300ms);
    }
};

TEST_F(E2EEClientSharedThumbnail, TwoCallersMakeOneMediaRequestAndGetTheSameBytes) {
    const auto gate = service.hold(media);
    auto first = startFetch({});
    ASSERT_TRUE(gate->waitForArrivals(1, 10s));
    const std::size_t accountRequests = countRequests("GET", "/api/v1/e2ee/account");
    auto second = startFetch({});
    waitForJoiner(accountRequests);
    gate->open();
    EXPECT_EQ(text(first.get()), kJPEG);
    EXPECT_EQ(text(second.get()), kJPEG);
    EXPECT_EQ(mediaRequests(), 1u);

    // Once done, the next fetch of the revision looks up afresh.
    EXPECT_EQ(text(client->fetchEncryptedThumbnail(item, {})), kJPEG);
    EXPECT_EQ(mediaRequests(), 2u);
}

TEST_F(E2EEClientSharedThumbnail, CancellingTheFirstCallerEndsTheLookupForAll) {
    const auto gate = service.hold(media);
    std::stop_source creator;
    auto first = startFetch(creator.get_token());
    ASSERT_TRUE(gate->waitForArrivals(1, 10s));
    const std::size_t accountRequests = countRequests("GET", "/api/v1/e2ee/account");
    auto second = startFetch({});
    waitForJoiner(accountRequests);
    creator.request_stop();
    EXPECT_THROW(first.get(), CancellationError);
    EXPECT_THROW(second.get(), CancellationError);
    gate->open();
    EXPECT_EQ(mediaRequests(), 1u);
}

TEST_F(E2EEClientSharedThumbnail, CancellingALaterCallerLeavesTheLookupAlone) {
    const auto gate = service.hold(media);
    auto first = startFetch({});
    ASSERT_TRUE(gate->waitForArrivals(1, 10s));
    const std::size_t accountRequests = countRequests("GET", "/api/v1/e2ee/account");
    std::stop_source joiner;
    auto second = startFetch(joiner.get_token());
    waitForJoiner(accountRequests);
    joiner.request_stop();
    // The later caller still waits for the shared lookup.
    EXPECT_EQ(second.wait_for(300ms), std::future_status::timeout);
    gate->open();
    EXPECT_EQ(text(first.get()), kJPEG);
    EXPECT_EQ(text(second.get()), kJPEG);
    EXPECT_EQ(mediaRequests(), 1u);
}

}  // namespace
}  // namespace nimbuscrate
