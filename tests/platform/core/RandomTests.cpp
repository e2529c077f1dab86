#include "platform/core/Random.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace nimbuscrate {
namespace {

TEST(Random, BytesHaveTheLengthAskedAndDiffer) {
    EXPECT_TRUE(randomBytes(0).empty());
    const Bytes a = randomBytes(32), b = randomBytes(32);
    EXPECT_EQ(a.size(), 32u);
    EXPECT_NE(a, b);
}

TEST(Random, UuidForms) {
    const std::regex upper("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
    const std::regex lower("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const Uuid uuid = Uuid::random();
        EXPECT_TRUE(std::regex_match(uuid.upperString(), upper)) << uuid.upperString();
        EXPECT_TRUE(std::regex_match(uuid.lowerString(), lower)) << uuid.lowerString();
        EXPECT_EQ(uuid.upperString().size(), 36u);
        seen.insert(uuid.lowerString());
    }
    EXPECT_EQ(seen.size(), 100u);
}

}  // namespace
}  // namespace nimbuscrate
