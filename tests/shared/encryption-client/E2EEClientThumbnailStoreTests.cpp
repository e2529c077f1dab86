// The store of an uploaded, sealed preview as the media service's thumbnail
// of its revision: the request, the replies it accepts and those it refuses.
#include <gtest/gtest.h>

#include <future>

#include "platform/core/CancellationError.h"
#include "shared/encryption/JSONReadError.h"
#include "tests/shared/encryption-client/E2EEDownloadFixture.h"
#include "tools/localservice/EncryptedThumbnailStore.h"

namespace nimbuscrate {
namespace {

using Case = E2EEError::Case;
using localservice::ReplyOverride;
using localservice::Route;
using namespace std::chrono_literals;
using testing::desktopErrorOf;
using testing::e2eeErrorOf;
using testing::kMediaHost;
using testing::patternBytes;
using testing::readFile;

const std::string kJPEG = "\xff\xd8\xff\xe0 a small JPEG stand-in \xff\xd9";

class E2EEClientThumbnailStore : public testing::E2EEDownloadFixture {
protected:
    void SetUp() override {
        E2EEDownloadFixture::SetUp();
        if (IsSkipped()) return;
        source = seedEncryptedFile("photo-1", patternBytes(3000), "photo.jpg", "image/jpeg");
        // The preview as its upload leaves it: a file record and its blob,
        // nothing on the media service yet.
        preview = seedThumbnail(source, "thumb-1", kJPEG, /*onMediaService=*/false, /*asBlob=*/true);
        client->refreshSnapshot(true);
        media = Route{"POST", kMediaHost, "/v1/encrypted-thumbnail"};
        service.requests().clear();
    }

    std::optional<std::string> storedThumbnail() {
        return service.encryptedThumbnails().stored("thumb-1", "rev-thumb-1");
    }
    std::string sealedPreview() { return readFile(service.driveDirectory("drive-1") / opaqueName(preview)); }

    E2EEJSON source;
    E2EEJSON preview;
    Route media;
};

TEST_F(E2EEClientThumbnailStore, PostsNoBodyWithTheTokenAndTheServiceKeepsTheUploadedBlob) {
    client->storeEncryptedThumbnail(preview);
    EXPECT_EQ(storedThumbnail(), sealedPreview());

    const auto requests = requestsTo(kMediaHost);
    ASSERT_EQ(requests.size(), 1u);
    const auto& request = requests[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/v1/encrypted-thumbnail");
    EXPECT_EQ(request.queryValue("nodeId"), "thumb-1");
    EXPECT_EQ(request.queryValue("revisionId"), "rev-thumb-1");
    EXPECT_EQ(request.bodyLength, 0u);
    EXPECT_EQ(request.header("Authorization"), "Bearer " + session.tokens.accessToken);
    EXPECT_EQ(request.header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(request.header("User-Agent"), "");
    EXPECT_EQ(request.header("Accept"), "");

    // What the fetch path reads back is the sealed preview.
    EXPECT_EQ(client->requestEncryptedThumbnail(preview, /*fromMediaService=*/true), bytesOf(kJPEG));
}

TEST_F(E2EEClientThumbnailStore, RepliesTable) {
    const std::string message = E2EEClient::kThumbnailStoreFailureMessage;
    const std::string json = "application/json";
    // A reply of exactly `length` bytes: {"stored":true,"pad":"xx..."}.
    const auto padded = [](std::size_t length) {
        const std::string head = R"({"stored":true,"pad":")";
        return head + std::string(length - head.size() - 2, 'x') + "\"}";
    };
    struct ReplyCase {
        std::string name;
        std::optional<ReplyOverride> reply;  // none: the service's own
        std::optional<Case> e2eeError;
        std::optional<long> serverStatus;
        bool readError = false;
    };
    const ReplyCase cases[] = {
        {"the service's own", std::nullopt, std::nullopt, std::nullopt},
        {"201 stored", ReplyOverride{201, {{"Content-Type", json}}, R"({"stored":true})"}, std::nullopt, std::nullopt},
        {"other members ignored", ReplyOverride{200, {}, R"({"stored":true,"etag":"x","n":1})"}, std::nullopt,
         std::nullopt},
        {"exactly 1,024 bytes", ReplyOverride{200, {}, padded(1024)}, std::nullopt, std::nullopt},
        {"1,025 bytes", ReplyOverride{200, {}, padded(1025)}, Case::invalid, std::nullopt},
        {"stored false", ReplyOverride{200, {}, R"({"stored":false})"}, Case::invalid, std::nullopt},
        {"stored as a string", ReplyOverride{200, {}, R"({"stored":"true"})"}, Case::invalid, std::nullopt},
        {"stored as 1", ReplyOverride{200, {}, R"({"stored":1})"}, Case::invalid, std::nullopt},
        {"no stored member", ReplyOverride{200, {}, R"({"ok":true})"}, Case::invalid, std::nullopt},
        {"an empty object", ReplyOverride{200, {}, "{}"}, Case::invalid, std::nullopt},
        {"an array", ReplyOverride{200, {}, R"([{"stored":true}])"}, Case::invalid, std::nullopt},
        {"an empty body", ReplyOverride{200, {}, ""}, std::nullopt, std::nullopt, true},
        {"not JSON", ReplyOverride{200, {}, "stored"}, std::nullopt, std::nullopt, true},
        {"404", ReplyOverride{404, {}, R"({"stored":true})"}, std::nullopt, 404},
        {"500", ReplyOverride{500, {}, ""}, std::nullopt, 500},
        {"a long 503", ReplyOverride{503, {}, std::string(5000, 'e')}, std::nullopt, 503},
        {"a redirect", ReplyOverride{302, {{"Location", "https://127.0.0.1:1/elsewhere"}}, ""}, std::nullopt, 302},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.name);
        service.clearFaults();
        if (c.reply) service.overrideReply(media, *c.reply);
        if (c.readError) {
            EXPECT_THROW(client->storeEncryptedThumbnail(preview), JSONReadError);
        } else if (c.e2eeError) {
            EXPECT_EQ(e2eeErrorOf([&] { client->storeEncryptedThumbnail(preview); }), c.e2eeError);
        } else if (c.serverStatus) {
            EXPECT_EQ(desktopErrorOf([&] { client->storeEncryptedThumbnail(preview); }),
                      DesktopError::server(*c.serverStatus, message));
        } else {
            EXPECT_NO_THROW(client->storeEncryptedThumbnail(preview));
        }
    }
}

TEST_F(E2EEClientThumbnailStore, TheServiceKnobsForARefusedAndAnOversizedReply) {
    service.encryptedThumbnails().refuseStores(1);
    EXPECT_EQ(e2eeErrorOf([&] { client->storeEncryptedThumbnail(preview); }), Case::invalid);
    EXPECT_EQ(storedThumbnail(), std::nullopt);

    service.encryptedThumbnails().padStoreReplies(1025, 1);
    EXPECT_EQ(e2eeErrorOf([&] { client->storeEncryptedThumbnail(preview); }), Case::invalid);
    service.encryptedThumbnails().padStoreReplies(1024, 1);
    EXPECT_NO_THROW(client->storeEncryptedThumbnail(preview));
    EXPECT_EQ(storedThumbnail(), sealedPreview());
}

TEST_F(E2EEClientThumbnailStore, ARevisionTheServiceDoesNotHoldIs404) {
    // The record exists but its blob was never uploaded.
    std::filesystem::remove(service.driveDirectory("drive-1") / opaqueName(preview));
    EXPECT_EQ(desktopErrorOf([&] { client->storeEncryptedThumbnail(preview); }),
              DesktopError::server(404, E2EEClient::kThumbnailStoreFailureMessage));
}

TEST_F(E2EEClientThumbnailStore, ARevisionThatFailsItsLocationSendsNothing) {
    E2EEJSON foreign = preview;
    foreign.setMember(E2EEJSON("drive-2"), "driveId");
    foreign.setMember(E2EEJSON("drive-2"), "parentItemId");
    EXPECT_EQ(e2eeErrorOf([&] { client->storeEncryptedThumbnail(foreign); }), Case::invalid);
    E2EEJSON otherRevision = preview;
    otherRevision.setMember(E2EEJSON("rev-other"), "revisionId");
    EXPECT_EQ(e2eeErrorOf([&] { client->storeEncryptedThumbnail(otherRevision); }), Case::invalid);
    EXPECT_TRUE(requestsTo(kMediaHost).empty());
}

TEST_F(E2EEClientThumbnailStore, ARedirectIsNotFollowed) {
    service.accountApi().redirectToSecondHost(media);
    EXPECT_EQ(desktopErrorOf([&] { client->storeEncryptedThumbnail(preview); }),
              DesktopError::server(302, E2EEClient::kThumbnailStoreFailureMessage));
    EXPECT_EQ(service.accountApi().secondHostRequests(), 0u);
}

TEST_F(E2EEClientThumbnailStore, AHeldRequestEndsWithACancellationOrASessionChange) {
    {
        const auto gate = service.hold(media);
        std::stop_source stop;
        auto storing =
            std::async(std::launch::async, [&] { client->storeEncryptedThumbnail(preview, stop.get_token()); });
        ASSERT_TRUE(gate->waitForArrivals(1, 10s));
        stop.request_stop();
        EXPECT_THROW(storing.get(), CancellationError);
    }
    service.clearFaults();
    const auto gate = service.hold(media);
    auto storing =
        std::async(std::launch::async, [&] { return e2eeErrorOf([&] { client->storeEncryptedThumbnail(preview); }); });
    ASSERT_TRUE(gate->waitForArrivals(1, 10s));
    signIn(3600, session.drive);
    gate->open();
    EXPECT_EQ(storing.get(), Case::sessionChanged);
}

}  // namespace
}  // namespace nimbuscrate
