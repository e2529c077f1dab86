#include "platform/core/Url.h"

#include <gtest/gtest.h>

namespace nimbuscrate {
namespace {

TEST(Url, ParsesAbsoluteUrls) {
    struct Case {
        std::string text, scheme, host, path, query;
        int port;
    };
    const Case cases[] = {
        {"https://drive.example.com", "https", "drive.example.com", "/", "", 443},
        {"https://Drive.Example.com:8443/dav/spaces/a%20b?x=1", "https", "drive.example.com", "/dav/spaces/a%20b",
         "x=1", 8443},
        {"http://127.0.0.1:8080/", "http", "127.0.0.1", "/", "", 8080},
    };
    for (const auto& c : cases) {
        auto url = Url::parse(c.text);
        ASSERT_TRUE(url) << c.text;
        EXPECT_EQ(url->scheme(), c.scheme);
        EXPECT_EQ(url->host(), c.host);
        EXPECT_EQ(url->path(), c.path);
        EXPECT_EQ(url->query(), c.query);
        EXPECT_EQ(url->port(), c.port);
    }
}

TEST(Url, RefusesWhatIsNotAnAbsoluteUrl) {
    for (const char* text : {"", "not a url", "/relative/path", "https://", "drive.example.com/x"}) {
        EXPECT_FALSE(Url::parse(text)) << text;
    }
    EXPECT_FALSE(Url::parse(std::string("https://a.example\0b", 19)));
}

TEST(Url, OriginIncludesThePort) {
    EXPECT_EQ(Url::parse("https://a.example/x")->origin(), "https://a.example:443");
    EXPECT_NE(Url::parse("https://a.example/x")->origin(), Url::parse("https://a.example:444/x")->origin());
}

}  // namespace
}  // namespace nimbuscrate
