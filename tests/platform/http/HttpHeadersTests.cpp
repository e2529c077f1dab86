#include <gtest/gtest.h>

#include "platform/http/HttpHeaders.h"
#include "platform/http/TransportError.h"

namespace nimbuscrate {
namespace {

TEST(HttpHeadersTest, NamesCompareCaseInsensitivelyAndKeepTheirSpelling) {
    HttpHeaders headers;
    headers.add("X-OC-MTime", "accepted");
    EXPECT_EQ(headers.value("x-oc-mtime"), "accepted");
    EXPECT_TRUE(headers.contains("X-OC-MTIME"));
    EXPECT_EQ(headers.fields().front().first, "X-OC-MTime");
    EXPECT_FALSE(headers.value("X-OC-Other").has_value());
}

TEST(HttpHeadersTest, SetReplacesEveryFieldOfTheNameAndAddKeepsThem) {
    HttpHeaders headers{{"Accept", "a"}, {"accept", "b"}, {"Depth", "1"}};
    EXPECT_EQ(headers.value("ACCEPT"), "a");
    headers.set("Accept", "c");
    ASSERT_EQ(headers.size(), 2u);
    EXPECT_EQ(headers.value("accept"), "c");
    headers.remove("DEPTH");
    EXPECT_EQ(headers.size(), 1u);
}

TEST(TransportErrorTest, CarriesTheUrlLoadingCodeOfItsKind) {
    const TransportError error(TransportError::Kind::timedOut, "idle", 28);
    const UrlLoadingError& base = error;
    EXPECT_EQ(base.code(), -1001);
    EXPECT_EQ(error.curlCode(), 28);
    EXPECT_STREQ(error.what(), "idle");
    EXPECT_EQ(TransportError::codeOf(TransportError::Kind::insecureRedirect), -1022);
    EXPECT_EQ(TransportError::codeOf(TransportError::Kind::dataTooLarge), -1103);
    EXPECT_EQ(TransportError::codeOf(TransportError::Kind::tooManyRedirects), -1007);
}

}  // namespace
}  // namespace nimbuscrate
