#include "platform/core/Date.h"

#include <gtest/gtest.h>

namespace nimbuscrate {
namespace {

TEST(Date, ReferenceAndUnixSeconds) {
    EXPECT_EQ(Date::fromUnixSeconds(978307200).referenceSeconds(), 0);
    EXPECT_EQ(Date::fromReferenceSeconds(0).unixSeconds(), 978307200);
    EXPECT_EQ(Date::distantPast().unixSeconds(), -62135769600.0);
    // The distant past survives a trip through Unix seconds exactly.
    EXPECT_EQ(Date::fromUnixSeconds(Date::distantPast().unixSeconds()), Date::distantPast());
    EXPECT_LT(Date::distantPast(), Date::now());
}

}  // namespace
}  // namespace nimbuscrate
