#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/encryption/E2EEError.h"
#include "shared/encryption/E2EEJSON.h"
#include "shared/encryption/JSONReadError.h"
#include "tests/shared/encryption/Fixtures.h"

namespace nimbuscrate {
namespace {

using namespace std::string_literals;
using testing::expectInvalid;
using testing::fixture;

TEST(encryption_CanonicalJSON, MatchesIndependentWriterForEveryFixture) {
    for (const auto& item : fixture("canonical_json.json")) {
        const std::string input = item["input"];
        const std::string expected = item["canonical"];
        const E2EEJSON value = E2EEJSON::parse(input);
        EXPECT_EQ(value.canonicalString(), expected) << input;
        // The canonical text reads back to an equal value with the same text.
        EXPECT_EQ(E2EEJSON::parse(expected), value);
        EXPECT_EQ(E2EEJSON::parse(expected).canonicalString(), expected);
    }
}

TEST(encryption_CanonicalJSON, WritesTheEdgeCases) {
    struct Case {
        E2EEJSON value;
        std::string text;
    };
    const std::vector<Case> cases = {
        {E2EEJSON::object({{"b", 1}, {"a", E2EEJSON::array({true, nullptr, "x"})}}), R"({"a":[true,null,"x"],"b":1})"},
        {E2EEJSON::object(), "{}"},
        {E2EEJSON::array(), "[]"},
        {E2EEJSON(""), "\"\""},
        {E2EEJSON(9007199254740991LL), "9007199254740991"},
        {E2EEJSON(0), "0"},
        {E2EEJSON::object({{"a", 1}, {"aa", 2}, {"B", 3}, {"b", 4}}), R"({"B":3,"a":1,"aa":2,"b":4})"},
        // A name above U+FFFF begins with a leading surrogate and sorts before U+FF01.
        {E2EEJSON::object({{"\uFF01", 1}, {"\U0001F600", 2}}), "{\"\U0001F600\":2,\"\uFF01\":1}"},
        {E2EEJSON("\x0b\x1f/\x7f\xc3\xa9"), "\"\\u000b\\u001f/\x7f\xc3\xa9\""},
        {E2EEJSON("a\tb\nc\rd\\e\"f\bg\fh"), R"("a\tb\nc\rd\\e\"f\bg\fh")"},
        {E2EEJSON(std::string("\0", 1)), R"("\u0000")"},
        {E2EEJSON(true), "true"},
        {E2EEJSON(nullptr), "null"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.value.canonicalString(), c.text);
}

TEST(encryption_CanonicalJSON, RefusesIntegersOutsideTheSafeRangeAtAnyDepth) {
    const std::vector<E2EEJSON> values = {
        E2EEJSON(9007199254740992LL),
        E2EEJSON(-1),
        E2EEJSON::object({{"a", E2EEJSON::array({E2EEJSON::object({{"b", E2EEJSON::array({-1})}})})}}),
        E2EEJSON::array({1, 2, E2EEJSON::array({E2EEJSON::array({9007199254740992LL})})}),
    };
    for (const auto& value : values) {
        expectInvalid([&] { value.canonicalString(); });
        expectInvalid([&] { value.encode(); });
    }
}

TEST(encryption_JSONReader, TakesEachCaseFromItsText) {
    EXPECT_EQ(E2EEJSON::parse("true").kind(), E2EEJSON::Kind::boolean);
    EXPECT_EQ(E2EEJSON::parse("\"1\"").kind(), E2EEJSON::Kind::string);
    EXPECT_EQ(E2EEJSON::parse("1").kind(), E2EEJSON::Kind::integer);
    EXPECT_EQ(E2EEJSON::parse("null").kind(), E2EEJSON::Kind::null);
    EXPECT_EQ(E2EEJSON::parse("[]").kind(), E2EEJSON::Kind::array);
    EXPECT_EQ(E2EEJSON::parse(" {\"a\" : 9007199254740991} ").member("a").safeInteger(), 9007199254740991LL);
    EXPECT_EQ(*E2EEJSON::parse(R"("\ud83d\ude00")").stringValue(), "\U0001F600");
}

TEST(encryption_JSONReader, RefusesDocumentsOutsideTheValueModel) {
    const std::vector<std::string> texts = {
        "1.5", "-1", "9007199254740992", "18446744073709551616", "-0", "1e3", "1.0",
        "[1, 1.5]", "[-1]", "{\"a\": 9007199254740992}", "{\"a\": {\"b\": [0, 2.5]}}",
        "", "   ", "[1,]", "{\"a\":1,}", "tru", "\"unterminated", "1 2", "{} []", "// c\n1",
        "{\"a\":1,\"a\":2}",
        // Canonically equivalent names are one name.
        "{\"\xc3\xa9\":1,\"e\xcc\x81\":2}",
        "\"\\ud800\"", "\"\xff\"", "[\"\x01\"]",
        // A raw NUL is never JSON text, also not after a complete value.
        "{}\0{\"a\":1}"s, "[1]\0garbage"s, "1\0"s, "{\"a\":1}\0"s, "\0"s, "\"a\0b\""s,
    };
    for (const auto& text : texts) {
        EXPECT_THROW(E2EEJSON::parse(text), JSONReadError) << text;
    }
}

TEST(encryption_JSONReader, LimitsNestingTo512Levels) {
    auto nested = [](std::size_t depth, const char* open, const char* close) {
        std::string text;
        for (std::size_t i = 0; i < depth; ++i) text += open;
        text += "1";
        for (std::size_t i = 0; i < depth; ++i) text += close;
        return text;
    };
    EXPECT_NO_THROW(E2EEJSON::parse(nested(512, "[", "]")));
    EXPECT_THROW(E2EEJSON::parse(nested(513, "[", "]")), JSONReadError);
    EXPECT_NO_THROW(E2EEJSON::parse(nested(512, "{\"a\":", "}")));
    EXPECT_THROW(E2EEJSON::parse(nested(513, "{\"a\":", "}")), JSONReadError);
    // Far deeper input fails the same way, without exhausting the stack.
    EXPECT_THROW(E2EEJSON::parse(std::string(1'000'000, '[')), JSONReadError);
}

TEST(encryption_JSONValue, ComparesDeeplyByCaseAndCanonicalEquivalence) {
    EXPECT_FALSE(E2EEJSON(1) == E2EEJSON(true));
    EXPECT_FALSE(E2EEJSON(1) == E2EEJSON("1"));
    EXPECT_FALSE(E2EEJSON(nullptr) == E2EEJSON(false));
    const E2EEJSON composed("\xc3\xa9");
    const E2EEJSON decomposed("e\xcc\x81");
    EXPECT_EQ(composed, decomposed);
    EXPECT_NE(composed.canonicalString(), decomposed.canonicalString());
    EXPECT_EQ(E2EEJSON::object({{"\xc3\xa9", 1}}).member("e\xcc\x81"), E2EEJSON(1));
    EXPECT_EQ(E2EEJSON::parse(R"({"a":[1,{"b":null}],"c":"x"})"), E2EEJSON::parse(R"({"c":"x","a":[1,{"b":null}]})"));
    EXPECT_FALSE(E2EEJSON::parse(R"({"a":[1,2]})") == E2EEJSON::parse(R"({"a":[2,1]})"));
    EXPECT_FALSE(E2EEJSON::parse(R"({"a":1})") == E2EEJSON::parse(R"({"a":1,"b":null})"));
}

TEST(encryption_JSONValue, AccessorsNeverFailOnTheWrongCase) {
    EXPECT_TRUE(E2EEJSON::array({1}).member("a").isNull());
    EXPECT_TRUE(E2EEJSON("x").member("a").isNull());
    EXPECT_TRUE(E2EEJSON::object({{"a", nullptr}}).member("a").isNull());
    EXPECT_FALSE(E2EEJSON("true").boolValue());
    EXPECT_FALSE(E2EEJSON(nullptr).boolValue());
    EXPECT_TRUE(E2EEJSON(true).boolValue());

    E2EEJSON text("x");
    text.setMember(1, "a");
    EXPECT_EQ(text, E2EEJSON("x"));

    E2EEJSON object = E2EEJSON::object({{"a", 1}});
    const E2EEJSON before = object;
    object.setMember(2, "a");
    object.setMember("new", "b");
    EXPECT_EQ(object.canonicalString(), R"({"a":2,"b":"new"})");
    EXPECT_EQ(before.canonicalString(), R"({"a":1})") << "copies share no mutable state";
    object.removeMember("a");
    EXPECT_EQ(object.canonicalString(), R"({"b":"new"})");
}

TEST(encryption_JSONValue, SetMemberUnderAnEquivalentNameReplacesOnlyTheValue) {
    // Held composed (U+00E9), set decomposed (e, U+0301): one member, the
    // new value, the name as it was first stored.
    E2EEJSON object = E2EEJSON::object({{"\xc3\xa9", 1}});
    object.setMember(2, "e\xcc\x81");
    EXPECT_EQ(object.memberNames(), std::vector<std::string>{"\xc3\xa9"});
    EXPECT_EQ(object.canonicalString(), "{\"\xc3\xa9\":2}");
    EXPECT_EQ(object.member("\xc3\xa9"), E2EEJSON(2));
}

TEST(encryption_JSONValue, SafeIntegerAcceptsOnlyTheSafeRange) {
    EXPECT_EQ(E2EEJSON(0).safeInteger(), 0);
    EXPECT_EQ(E2EEJSON(9007199254740991LL).safeInteger(), 9007199254740991LL);
    for (const E2EEJSON& value : {E2EEJSON(-1), E2EEJSON(9007199254740992LL), E2EEJSON("1"), E2EEJSON(true),
                                  E2EEJSON(nullptr), E2EEJSON::array({1})}) {
        expectInvalid([&] { value.safeInteger(); });
    }
}

TEST(encryption_JSONValue, EncodesIntoAGenericDocument) {
    const E2EEJSON value = E2EEJSON::parse(R"({"a":[true,null,"x",7],"b":{}})");
    EXPECT_EQ(value.encode(), nlohmann::json::parse(R"({"a":[true,null,"x",7],"b":{}})"));
}

}  // namespace
}  // namespace nimbuscrate
