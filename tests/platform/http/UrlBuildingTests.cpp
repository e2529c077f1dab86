#include <gtest/gtest.h>

#include "platform/http/UrlBuilding.h"

namespace nimbuscrate {
namespace {

Url url(const char* text) { return *Url::parse(text); }

// The URL type keeps escapes in the lower-case form libcurl normalises them to.
TEST(UrlBuildingTest, AppendsEncodedPathComponents) {
    struct Case {
        const char* base;
        const char* component;
        bool directory;
        const char* expected;
    };
    const Case cases[] = {
        {"https://h.example/dav/spaces/d1", "A B", false, "https://h.example/dav/spaces/d1/A%20B"},
        {"https://h.example/dav/spaces/d1/", "c", false, "https://h.example/dav/spaces/d1/c"},
        {"https://h.example", "graph/v1.0/me/drives", false, "https://h.example/graph/v1.0/me/drives"},
        {"https://h.example/", "dav", true, "https://h.example/dav/"},
        {"https://h.example/r", "100%#?x", false, "https://h.example/r/100%25%23%3fx"},
        {"https://h.example/r", "caf\xC3\xA9+&=", false, "https://h.example/r/caf%c3%a9+&="},
        {"https://h.example/r?q=1", "x", false, "https://h.example/r/x?q=1"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(appendingPathComponent(url(c.base), c.component, c.directory).string(), c.expected) << c.component;
    }
}

TEST(UrlBuildingTest, QueryValuesEscapePlusAmpersandAndEquals) {
    const Url result = withQueryItems(url("https://m.example/v1/thumbnail"),
                                      {{"source", "/spaces/d1/a b+c&d=e.jpg"}, {"size", "256"}});
    EXPECT_EQ(result.string(), "https://m.example/v1/thumbnail?source=/spaces/d1/a%20b%2bc%26d%3de.jpg&size=256");
}

TEST(UrlBuildingTest, PercentDecodingRefusesMalformedEscapes) {
    EXPECT_EQ(percentDecoded("/a%20b/%C3%A9"), "/a b/\xC3\xA9");
    EXPECT_FALSE(percentDecoded("/a%2").has_value());
    EXPECT_FALSE(percentDecoded("/a%zz").has_value());
    EXPECT_EQ(percentDecoded(""), "");
}

}  // namespace
}  // namespace nimbuscrate
