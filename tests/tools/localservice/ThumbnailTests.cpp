// The media service's "v1/thumbnail".

#include <gtest/gtest.h>

#include <vips/vips8>

#include "tests/tools/localservice/ServiceFixture.h"

namespace nimbuscrate::localservice::testing {
namespace {

class localservice_thumbnails : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        ASSERT_EQ(VIPS_INIT("localservice_tests"), 0);
    }
    void writeImage(const std::string& path, int width, int height) {
        auto file = onDisk(path);
        std::filesystem::create_directories(file.parent_path());
        vips::VImage image = vips::VImage::black(width, height, vips::VImage::option()->set("bands", 3)) + 90;
        image.cast(VIPS_FORMAT_UCHAR).write_to_file(file.c_str());
    }
    Reply thumbnail(const std::string& query) { return client->get(mediaUrl("/v1/thumbnail?" + query), {bearer()}); }
    static vips::VImage decode(const Reply& reply) {
        return vips::VImage::new_from_buffer(reply.body.data(), reply.body.size(), "");
    }
};

TEST_F(localservice_thumbnails, RendersAnImageWithinTheAskedSize) {
    writeImage("Photos/wide.jpg", 1000, 500);
    writeImage("Photos/small.png", 100, 80);
    struct Case {
        std::string query;
        std::string contentType;
        int width;
        int height;
    };
    const Case cases[] = {
        {"source=/spaces/d1/Photos/wide.jpg&size=256&crop=0&v=abc", "image/jpeg", 256, 128},
        {"source=/spaces/d1/Photos/wide.jpg&size=256&crop=1", "image/jpeg", 256, 256},
        {"source=%2Fspaces%2Fd1%2FPhotos%2Fwide.jpg&size=64", "image/jpeg", 64, 32},
        {"source=/spaces/d1/Photos/small.png&size=256&crop=0", "image/png", 100, 80},  // never enlarged
    };
    for (const auto& c : cases) {
        auto reply = thumbnail(c.query);
        ASSERT_EQ(reply.status, 200) << c.query << ": " << reply.body;
        EXPECT_EQ(reply.header("content-type"), c.contentType) << c.query;
        auto image = decode(reply);
        EXPECT_EQ(image.width(), c.width) << c.query;
        EXPECT_EQ(image.height(), c.height) << c.query;
    }
}

TEST_F(localservice_thumbnails, PlusInTheSourceMustBeEncoded) {
    writeImage("a+b.png", 50, 50);
    EXPECT_EQ(thumbnail("source=/spaces/d1/a%2Bb.png&size=256&crop=0").status, 200);
    // A literal "+" in a query reads as a blank, so the file is not found.
    EXPECT_EQ(thumbnail("source=/spaces/d1/a+b.png&size=256&crop=0").status, 404);
}

TEST_F(localservice_thumbnails, Refusals) {
    writeImage("p.png", 20, 20);
    writeFile("notes.txt", "not an image");
    std::filesystem::create_directories(onDisk("folder"));
    struct Case {
        std::string query;
        long status;
    };
    const Case cases[] = {
        {"size=256", 400},
        {"source=&size=256", 400},
        {"source=/spaces/d1/p.png&size=0", 400},
        {"source=/spaces/d1/p.png&size=big", 400},
        {"source=/spaces/d1/p.png&size=5000", 400},
        {"source=/spaces/d1/p.png&crop=2", 400},
        {"source=/spaces/d1/../p.png", 400},
        {"source=/spaces/unknown/p.png", 404},
        {"source=/other/d1/p.png", 404},
        {"source=/spaces/d1/missing.png", 404},
        {"source=/spaces/d1/folder", 404},
        {"source=/spaces/d1/notes.txt", 415},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(thumbnail(c.query).status, c.status) << c.query;
    }
    EXPECT_EQ(client->get(mediaUrl("/v1/thumbnail?source=/spaces/d1/p.png")).status, 401);
    EXPECT_EQ(client->send("POST", mediaUrl("/v1/thumbnail?source=/spaces/d1/p.png"), {bearer()}, "").status, 405);
}

TEST_F(localservice_thumbnails, HugeImagesAreRefusedBeforeDecoding) {
    // 12000 x 9000 pixels is over the bound; a PNG of one colour stays small on disk.
    writeImage("huge.png", 12000, 9000);
    EXPECT_EQ(thumbnail("source=/spaces/d1/huge.png&size=256&crop=0").status, 413);
}

}  // namespace
}  // namespace nimbuscrate::localservice::testing
