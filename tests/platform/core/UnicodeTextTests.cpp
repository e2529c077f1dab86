#include "platform/core/UnicodeText.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

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

// Keys written by tools/vectors/make_name_keys.py from Python's Unicode data:
// the multi-character mapping of U+0130 and final sigma in context.
TEST(UnicodeText, NameClashKeyLowercasesFully) {
    std::ifstream in(std::string(NIMBUSCRATE_SOURCE_DIR) + "/tests/platform/core/fixtures/name-clash-keys.json");
    ASSERT_TRUE(in) << "missing fixture";
    const nlohmann::json table = nlohmann::json::parse(in);
    ASSERT_FALSE(table.at("cases").empty());
    for (const auto& c : table.at("cases")) {
        const std::string name = c.at("name").get<std::string>();
        SCOPED_TRACE(name);
        EXPECT_EQ(nameClashKey(name), c.at("key").get<std::string>());
    }
}

TEST(UnicodeText, NamesThatClash) {
    const std::string capitalIDot = "\xC4\xB0";  // U+0130
    const std::string iDot = "i\xCC\x87";        // i + U+0307
    const std::string odosCapital = "\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3";
    const std::string odosFinal = "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82";
    const std::string odosMedial = "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x83";
    const struct {
        const char* label;
        std::string a, b;
        bool clash;
    } cases[] = {
        {"capital I with dot and i with a combining dot", capitalIDot + "stanbul", iDot + "stanbul", true},
        {"capital I with dot and plain i", capitalIDot + "stanbul", "istanbul", false},
        {"capital word and its final-sigma spelling", odosCapital, odosFinal, true},
        {"capital word and a medial sigma at the end", odosCapital, odosMedial, false},
        {"sigma inside a name before an extension", odosCapital + ".txt", odosMedial + ".txt", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(nameClashKey(c.a) == nameClashKey(c.b), c.clash);
    }
    EXPECT_EQ(fullLowercase("\xFF" + capitalIDot), "\xFF" + capitalIDot);  // invalid UTF-8 unchanged
}

TEST(UnicodeText, ValidUTF8) {
    EXPECT_TRUE(isValidUTF8("plain"));
    EXPECT_TRUE(isValidUTF8(kDecomposedE));
    EXPECT_FALSE(isValidUTF8("\xC3"));
    EXPECT_FALSE(isValidUTF8("\xED\xA0\x80"));  // a UTF-16 surrogate encoded as UTF-8
}

}  // namespace
}  // namespace nimbuscrate
