#include <gtest/gtest.h>

#include "platform/http/TextDecoding.h"

namespace nimbuscrate {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(TextDecodingTest, ReplacesEachIllFormedSequenceOnce) {
    struct Case {
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        {"plain", "plain"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {"cut \xE2\x82", "cut " + kReplacement},              // a character cut at the end
        {"\xFF" "a", kReplacement + "a"},                     // a byte that never starts a sequence
        {"\xC0\xAF", kReplacement + kReplacement},            // overlong form
        {"\xED\xA0\x80", kReplacement + kReplacement + kReplacement},  // surrogate
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"\xE2\x28\xA1", kReplacement + "(" + kReplacement},
    };
    for (const Case& c : cases) EXPECT_EQ(decodeUTF8Lossy(c.input), c.expected);
}

TEST(TextDecodingTest, LimitCutsBytesBeforeDecoding) {
    Bytes bytes(2047, 'a');
    bytes.push_back(0xC3);
    bytes.push_back(0xA9);
    const std::string text = decodeUTF8Lossy(bytes, 2048);
    EXPECT_EQ(text, std::string(2047, 'a') + kReplacement);
}

}  // namespace
}  // namespace nimbuscrate
