#include <gtest/gtest.h>

#include <cstdlib>

#ifdef NIMBUSCRATE_DEVELOPMENT
#include "platform/http/DevelopmentRoute.h"

namespace nimbuscrate {
namespace {

TEST(DevelopmentRouteTest, InProcessSettingTakesPrecedenceOverTheEnvironment) {
    ::unsetenv("NIMBUSCRATE_DEV_SERVICE");
    ::unsetenv("NIMBUSCRATE_DEV_CA_FILE");
    DevelopmentRoute::clear();
    EXPECT_FALSE(DevelopmentRoute::current().has_value());

    ::setenv("NIMBUSCRATE_DEV_SERVICE", "127.0.0.1:4443", 1);
    EXPECT_FALSE(DevelopmentRoute::current().has_value()) << "both variables are needed";
    ::setenv("NIMBUSCRATE_DEV_CA_FILE", "/tmp/ca.pem", 1);
    EXPECT_EQ(DevelopmentRoute::current(), (DevelopmentRoute::Target{"127.0.0.1:4443", "/tmp/ca.pem"}));

    DevelopmentRoute::set("127.0.0.1:5555", "/tmp/other.pem");
    EXPECT_EQ(DevelopmentRoute::current(), (DevelopmentRoute::Target{"127.0.0.1:5555", "/tmp/other.pem"}));
    DevelopmentRoute::clear();
    EXPECT_EQ(DevelopmentRoute::current()->address, "127.0.0.1:4443");

    ::unsetenv("NIMBUSCRATE_DEV_SERVICE");
    ::unsetenv("NIMBUSCRATE_DEV_CA_FILE");
}

TEST(DevelopmentRouteTest, OnlyTheCompiledInHostsAreRouted) {
    EXPECT_TRUE(DevelopmentRoute::isServiceHost(NIMBUSCRATE_IDENTITY_HOST));
    EXPECT_TRUE(DevelopmentRoute::isServiceHost(NIMBUSCRATE_WEBAPP_HOST));
    EXPECT_TRUE(DevelopmentRoute::isServiceHost(NIMBUSCRATE_MEDIA_HOST));
    EXPECT_TRUE(DevelopmentRoute::isServiceHost(NIMBUSCRATE_ACCOUNT_API_HOST));
    EXPECT_TRUE(DevelopmentRoute::isServiceHost(NIMBUSCRATE_CONTROL_PANEL_HOST));
    EXPECT_FALSE(DevelopmentRoute::isServiceHost("example.org"));
    EXPECT_FALSE(DevelopmentRoute::isServiceHost(""));
}

}  // namespace
}  // namespace nimbuscrate
#endif
