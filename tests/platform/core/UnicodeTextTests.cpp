#include "platform/core/UnicodeText.h"

#include <gtest/gtest.h>

namespace nimbuscrate {
namespace {

// "é" precomposed (U+00E9) and decomposed (e + U+0301).
const std::string kComposedE = "\xC3\xA9";
const std::string kDecomposedE = "e\xCC\x81";

TEST(UnicodeText, CanonicalEquivalence) {
    struct Case {
        std::string a, b;
        bool equal;
    };
    const Case cases[] = {
        {"Caf" + kComposedE, "Caf" + kDecomposedE, true},
        {"Caf" + kComposedE, "Cafe", false},
        {"abc", "ABC", false},  // case matters for equality
        {"", "", true},
        {"\xFF\xFE", "\xFF\xFE", true},   // invalid UTF-8 compares byte for byte
        {"\xFF\xFE", "\xFF\xFD", false},
        // Angstrom sign U+212B is canonically equivalent to U+00C5.
        {"\xE2\x84\xAB", "\xC3\x85", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(canonicallyEqual(c.a, c.b), c.equal) << c.a << " vs " << c.b;
    }
}

TEST(UnicodeText, NameClashKeyComposesAndLowercases) {
    EXPECT_EQ(nameClashKey("Report.PDF"), nameClashKey("report.pdf"));
    EXPECT_EQ(nameClashKey("CAF" + std::string("E\xCC\x81")), nameClashKey("caf" + kComposedE));
    EXPECT_NE(nameClashKey("a.txt"), nameClashKey("b.txt"));
    // Lower-casing, not case folding: sharp s does not become "ss".
    EXPECT_NE(nameClashKey("stra\xC3\x9F" "e"), nameClashKey("strasse"));
    EXPECT_EQ(nameClashKey("\xFF"), "\xFF");
}

TEST(UnicodeText, ValidUTF8) {
    EXPECT_TRUE(isValidUTF8("plain"));
    EXPECT_TRUE(isValidUTF8(kDecomposedE));
    EXPECT_FALSE(isValidUTF8("\xC3"));
    EXPECT_FALSE(isValidUTF8("\xED\xA0\x80"));  // a UTF-16 surrogate encoded as UTF-8
}

}  // namespace
}  // namespace nimbuscrate
