#include "shared/session/WebDAVParser.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/core/PlatformError.h"
#include "shared/session/DesktopError.h"

namespace nimbuscrate {
namespace {

std::string fixture(const std::string& name) {
    const std::string path = std::string(NIMBUSCRATE_SOURCE_DIR) + "/tests/shared/session/fixtures/webdav/" + name;
    std::ifstream file(path, std::ios::binary);
    EXPECT_TRUE(file) << "missing fixture " << path;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// A multistatus document with one response whose body is `inner`.
std::string oneResponse(const std::string& inner) {
    return "<d:multistatus xmlns:d=\"DAV:\"><d:response><d:href>/x</d:href>" + inner +
           "</d:response></d:multistatus>";
}

WebDAVResponse parseOne(const std::string& inner) {
    const auto responses = WebDAVParser::parse(oneResponse(inner));
    EXPECT_EQ(responses.size(), 1u);
    return responses.empty() ? WebDAVResponse{} : responses.front();
}

std::vector<WebDAVResponse> parseInChunks(const std::string& document, std::size_t chunk) {
    WebDAVParser parser;
    for (std::size_t offset = 0; offset < document.size(); offset += chunk) {
        parser.feed(std::string_view(document).substr(offset, chunk));
    }
    parser.finish();
    return parser.takeResponses();
}

void expectInvalidResponse(const std::string& document, WebDAVParser::Limits limits = {}) {
    WebDAVParser parser(limits);
    try {
        parser.feed(document);
        parser.finish();
        FAIL() << "the document was accepted";
    } catch (const DesktopError& error) {
        EXPECT_EQ(error.kind(), DesktopError::Kind::invalidResponse);
    }
}

void expectXMLError(const std::string& document) {
    try {
        WebDAVParser::parse(document);
        FAIL() << "the document was accepted";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain(), kXMLParserErrorDomain);
        EXPECT_NE(error.code(), 0);
        EXPECT_NE(std::string(error.what()).find("not well-formed XML"), std::string::npos) << error.what();
    }
}

WebDAVResponse response(std::string href) {
    WebDAVResponse value;
    value.href = std::move(href);
    return value;
}

TEST(WebDAVParserTest, ReadsAListingWithItsPropertyBlocks) {
    const auto responses = WebDAVParser::parse(fixture("listing.xml"));
    ASSERT_EQ(responses.size(), 3u);

    WebDAVResponse folder = response("/dav/spaces/d1/Docs/");
    folder.fileID = "f-docs";
    folder.displayName = "Docs";
    folder.etag = "etag-docs";
    folder.modifiedAt = Date::fromUnixSeconds(784111777);
    folder.isDirectory = true;
    EXPECT_EQ(responses[0], folder);  // empty 404 properties leave size 0 and no content type

    WebDAVResponse file = response("/dav/spaces/d1/Docs/a%20b.txt");
    file.fileID = "f-ab";
    file.size = 1234;
    file.contentType = "text/plain";
    file.etag = "etag-ab";
    file.modifiedAt = Date::fromUnixSeconds(1709208000);
    EXPECT_EQ(responses[1], file);

    // A property repeated in a later block overwrites the earlier value.
    WebDAVResponse sub = response("/dav/spaces/d1/Docs/sub/");
    sub.displayName = "sub";
    sub.etag = "W/\"weak";
    sub.isDirectory = true;
    EXPECT_EQ(responses[2], sub);
}

TEST(WebDAVParserTest, MatchesElementsByLocalNameWhateverThePrefixOrCase) {
    const auto responses = WebDAVParser::parse(fixture("prefixes.xml"));
    ASSERT_EQ(responses.size(), 3u);
    EXPECT_EQ(responses[0].href, "/one");
    EXPECT_EQ(responses[0].displayName, "One");
    EXPECT_EQ(responses[0].fileID, "id-1");
    EXPECT_TRUE(responses[0].isDirectory);
    EXPECT_EQ(responses[1].href, "/two");
    EXPECT_EQ(responses[1].size, -5);
    EXPECT_EQ(responses[1].etag, "two");
    EXPECT_FALSE(responses[1].isDirectory);
    EXPECT_EQ(responses[2].href, "/three");
    EXPECT_EQ(responses[2].contentType, "image/png");
}

TEST(WebDAVParserTest, LocalNames) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"d:href", "href"}, {"D:HREF", "href"}, {"href", "href"}, {"a:b:GetEtag", "getetag"},
        {"x:", "x"},        {"::", "::"},       {"", ""},         {":Response:", "response"},
    };
    for (const auto& [name, expected] : cases) EXPECT_EQ(WebDAVParser::localName(name), expected) << name;
}

TEST(WebDAVParserTest, ResponseWithoutHrefAndTextOutsideResponses) {
    const auto responses = WebDAVParser::parse(fixture("missing-href.xml"));
    ASSERT_EQ(responses.size(), 2u);
    EXPECT_EQ(responses[0].href, "");
    EXPECT_EQ(responses[0].displayName, "No href here");
    EXPECT_EQ(responses[1], response("/after"));
}

TEST(WebDAVParserTest, CDATAAndCharacterReferencesJoinIntoOneValue) {
    const auto responses = WebDAVParser::parse(fixture("cdata-and-entities.xml"));
    ASSERT_EQ(responses.size(), 2u);
    EXPECT_EQ(responses[0].href, "/Docs/<odd> & name.txt");
    EXPECT_EQ(responses[0].displayName, "Tom & Jerry\u2019s <notes> \u00e9t\u00e9");
    EXPECT_EQ(responses[0].etag, "abc");
    EXPECT_EQ(responses[0].size, 42);
    EXPECT_EQ(responses[1].href, "/Docs/split-by-cdata");
    EXPECT_EQ(responses[1].displayName, "spaced");
}

TEST(WebDAVParserTest, UnsafeDisplayNamesAreDropped) {
    const auto responses = WebDAVParser::parse(fixture("unsafe-names.xml"));
    ASSERT_EQ(responses.size(), 5u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(responses[i].displayName, "") << responses[i].href;
    EXPECT_EQ(responses[4].displayName, "...");  // a plain name, however odd

    const std::vector<std::pair<std::string, bool>> names = {
        {"report.pdf", true}, {"", false},   {".", false},  {"..", false},   {"a/b", false},
        {std::string("a\0b", 3), false},     {"...", true}, {"._x", true},   {" ", true},
    };
    for (const auto& [name, safe] : names) EXPECT_EQ(isSafeItemName(name), safe) << name;

    const std::vector<std::pair<std::string, bool>> paths = {
        {"/Docs/a.txt", true},  {"/", true},           {"", true},         {"/Docs/..a/b..", true},
        {"/Docs/../etc", false}, {"..", false},        {"/Docs/..", false}, {"../x", false},
        {std::string("/Docs/a\0b", 9), false},
    };
    for (const auto& [path, safe] : paths) EXPECT_EQ(isSafeRemotePath(path), safe) << path;
}

TEST(WebDAVParserTest, PropertyValues) {
    struct Case {
        std::string inner;
        WebDAVResponse expected;
    };
    auto with = [](auto change) {
        WebDAVResponse value = response("/x");
        change(value);
        return value;
    };
    const std::vector<Case> cases = {
        {"<d:getetag>\"abc\"</d:getetag>", with([](auto& r) { r.etag = "abc"; })},
        {"<d:getetag>W/\"abc\"</d:getetag>", with([](auto& r) { r.etag = "W/\"abc"; })},
        {"<d:getetag>\"\"a\"b\"\"</d:getetag>", with([](auto& r) { r.etag = "a\"b"; })},
        {"<d:getetag>\"\"</d:getetag>", with([](auto& r) { r.etag = ""; })},
        {"<d:getcontentlength> 1234 </d:getcontentlength>", with([](auto& r) { r.size = 1234; })},
        {"<d:getcontentlength>\n\t-5\r\n</d:getcontentlength>", with([](auto& r) { r.size = -5; })},
        {"<d:getcontentlength>+7</d:getcontentlength>", with([](auto& r) { r.size = 7; })},
        {"<d:getcontentlength>12a</d:getcontentlength>", with([](auto&) {})},
        {"<d:getcontentlength/>", with([](auto&) {})},
        {"<d:getcontentlength>1 2</d:getcontentlength>", with([](auto&) {})},
        {"<d:getcontentlength>9223372036854775807</d:getcontentlength>",
         with([](auto& r) { r.size = 9223372036854775807LL; })},
        {"<d:getcontentlength>9223372036854775808</d:getcontentlength>", with([](auto&) {})},
        {"<d:getcontenttype></d:getcontenttype>", with([](auto&) {})},
        {"<d:getcontenttype>  </d:getcontenttype>", with([](auto&) {})},
        {"<d:getcontenttype>text/plain</d:getcontenttype>", with([](auto& r) { r.contentType = "text/plain"; })},
        {"<d:resourcetype><d:collection/></d:resourcetype>", with([](auto& r) { r.isDirectory = true; })},
        {"<d:resourcetype/>", with([](auto&) {})},
        // Unicode spaces (no-break space, ideographic space) are trimmed too.
        {"<d:displayname>\u00a0name\u3000</d:displayname>", with([](auto& r) { r.displayName = "name"; })},
        {"<d:getlastmodified>Sun, 06 Nov 1994 08:49:37 GMT</d:getlastmodified>",
         with([](auto& r) { r.modifiedAt = Date::fromUnixSeconds(784111777); })},
        {"<d:getlastmodified>not a date</d:getlastmodified>", with([](auto&) {})},
    };
    for (const auto& c : cases) EXPECT_EQ(parseOne(c.inner), c.expected) << c.inner;
}

TEST(WebDAVParserTest, SignedDecimalIntegers) {
    EXPECT_EQ(parseDecimalInt64("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(parseDecimalInt64("-9223372036854775809"), std::nullopt);
    EXPECT_EQ(parseDecimalInt64("0"), 0);
    EXPECT_EQ(parseDecimalInt64("-"), std::nullopt);
    EXPECT_EQ(parseDecimalInt64("+"), std::nullopt);
    EXPECT_EQ(parseDecimalInt64("0x10"), std::nullopt);
    EXPECT_EQ(parseDecimalInt64("\u0661"), std::nullopt);  // only ASCII digits
}

TEST(WebDAVParserTest, HTTPDates) {
    const std::vector<std::pair<std::string, std::optional<double>>> cases = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
        {"sun, 06 NOV 1994 08:49:37 gmt", 784111777},
        {"Sun, 06 Nov 1994 08:49:37 UTC", 784111777},
        {"Sun, 06 Nov 1994 08:49:37 PST", 784140577},
        {"Sun, 06 Nov 1994 08:49:37 GMT-08:00", 784140577},
        {"Sun, 06 Nov 1994 08:49:37 GMT+0100", 784108177},
        {"Thu, 29 Feb 2024 12:00:00 GMT", 1709208000},
        {"Fri, 31 Dec 9999 23:59:59 GMT", 253402300799},
        {"Wed, 29 Feb 2023 12:00:00 GMT", std::nullopt},
        {"Sun, 31 Apr 1994 08:49:37 GMT", std::nullopt},
        {"Sun, 06 Nov 1994 24:00:00 GMT", std::nullopt},
        {"Sun, 06 Nov 1994 08:60:00 GMT", std::nullopt},
        {"Sun, 06 Nov 1994 08:49:37", std::nullopt},
        {"Sun, 06 Nov 1994 08:49:37 XYZ", std::nullopt},
        {"Sunday, 06-Nov-94 08:49:37 GMT", std::nullopt},
        {"Sun Nov  6 08:49:37 1994", std::nullopt},
        {"1994-11-06T08:49:37Z", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, unix] : cases) {
        const auto parsed = parseHTTPDate(text);
        if (unix) {
            ASSERT_TRUE(parsed.has_value()) << text;
            EXPECT_EQ(parsed->unixSeconds(), *unix) << text;
        } else {
            EXPECT_FALSE(parsed.has_value()) << text;
        }
    }
}

TEST(WebDAVParserTest, FedInPiecesGivesTheSameResponses) {
    for (const char* name : {"listing.xml", "cdata-and-entities.xml", "prefixes.xml"}) {
        const std::string document = fixture(name);
        const auto whole = WebDAVParser::parse(document);
        for (const std::size_t chunk : {1u, 2u, 3u, 7u, 64u}) {
            EXPECT_EQ(parseInChunks(document, chunk), whole) << name << " in pieces of " << chunk;
        }
    }
}

TEST(WebDAVParserTest, DocumentTypesAndEntityDeclarationsAreRefused) {
    for (const char* name : {"billion-laughs.xml", "external-entity.xml", "external-dtd.xml"}) {
        SCOPED_TRACE(name);
        expectInvalidResponse(fixture(name));
    }
}

TEST(WebDAVParserTest, MalformedDocumentsReportTheXMLError) {
    for (const char* name : {"undefined-entity.xml", "mismatched-tag.xml", "truncated.xml", "nul-byte.xml"}) {
        SCOPED_TRACE(name);
        expectXMLError(fixture(name));
    }
    for (const std::string& document : {std::string(), std::string("   "), std::string("not xml at all"),
                                       std::string("<a>&#0;</a>"), std::string("<a></a><b></b>"),
                                       std::string("<d:response><d:href>\xff\xfe</d:href></d:response>")}) {
        SCOPED_TRACE(document);
        expectXMLError(document);
    }
}

TEST(WebDAVParserTest, AFailedParserStaysFailed) {
    WebDAVParser parser;
    EXPECT_THROW(parser.feed("<a></b>"), PlatformError);
    EXPECT_THROW(parser.feed("<c/>"), std::logic_error);
    EXPECT_THROW(parser.finish(), std::logic_error);
}

TEST(WebDAVParserTest, HugeRepliesStayWithinTheLimits) {
    const std::string open = "<d:multistatus xmlns:d=\"DAV:\"><d:response><d:href>";
    // Character data beyond the limit, however it is fed.
    const std::string longText = open + std::string(3 << 20, 'a') + "</d:href></d:response></d:multistatus>";
    expectInvalidResponse(longText);
    {
        WebDAVParser parser;
        parser.feed(open);
        const std::string piece(64 * 1024, 'b');
        EXPECT_THROW(
            {
                for (int i = 0; i < 64; ++i) parser.feed(piece);
            },
            DesktopError);
    }
    // Markup that never ends (a comment, a tag with endless attributes) is not buffered forever.
    expectInvalidResponse(open + "<!--" + std::string(3 << 20, 'c') + "-->");
    expectInvalidResponse(open + "<d:displayname a=\"" + std::string(3 << 20, 'v') + "\"/>");
    // Nesting.
    std::string deep = "<d:multistatus xmlns:d=\"DAV:\">";
    for (int i = 0; i < 10000; ++i) deep += "<d:x>";
    expectInvalidResponse(deep);
    // Number of responses.
    std::string many = "<d:multistatus xmlns:d=\"DAV:\">";
    for (int i = 0; i < 11; ++i) many += "<d:response/>";
    many += "</d:multistatus>";
    WebDAVParser::Limits limits;
    limits.maxResponses = 10;
    expectInvalidResponse(many, limits);
    limits.maxResponses = 11;
    WebDAVParser parser(limits);
    parser.feed(many);
    parser.finish();
    EXPECT_EQ(parser.responses().size(), 11u);
}

TEST(WebDAVParserTest, ALargeListingFedAsItArrives) {
    std::string document = "<?xml version=\"1.0\"?><d:multistatus xmlns:d=\"DAV:\" xmlns:oc=\"http://owncloud.org/ns\">";
    for (int i = 0; i < 20000; ++i) {
        document += "<d:response><d:href>/dav/spaces/d1/F/file-" + std::to_string(i) +
                    ".txt</d:href><d:propstat><d:prop><oc:fileid>id" + std::to_string(i) +
                    "</oc:fileid><d:getcontentlength>" + std::to_string(i) +
                    "</d:getcontentlength><d:resourcetype/></d:prop></d:propstat></d:response>";
    }
    document += "</d:multistatus>";
    const auto responses = parseInChunks(document, 16 * 1024);
    ASSERT_EQ(responses.size(), 20000u);
    EXPECT_EQ(responses[19999].href, "/dav/spaces/d1/F/file-19999.txt");
    EXPECT_EQ(responses[19999].fileID, "id19999");
    EXPECT_EQ(responses[19999].size, 19999);
}

TEST(WebDAVParserTest, EventsDriveTheParserDirectly) {
    WebDAVParser parser;
    parser.elementStarted("d:response");
    parser.elementStarted("d:href");
    parser.charactersFound("/a");
    parser.charactersFound("/b ");
    parser.elementEnded("d:href");
    // A response that starts again drops the unfinished one.
    parser.elementStarted("d:response");
    parser.elementStarted("d:collection");
    parser.elementEnded("d:collection");
    parser.elementEnded("d:response");
    // Property elements outside a response change nothing.
    parser.elementStarted("d:href");
    parser.charactersFound("/ignored");
    parser.elementEnded("d:href");
    parser.elementEnded("d:response");
    ASSERT_EQ(parser.responses().size(), 1u);
    WebDAVResponse expected;
    expected.isDirectory = true;
    EXPECT_EQ(parser.responses()[0], expected);
}

TEST(WebDAVParserTest, EqualityUsesCanonicalEquivalence) {
    WebDAVResponse composed = response("/caf\u00e9");
    WebDAVResponse decomposed = response("/cafe\u0301");
    EXPECT_EQ(composed, decomposed);
    decomposed.contentType = "";
    EXPECT_NE(composed, decomposed);
    composed.contentType = "";
    composed.modifiedAt = Date::fromUnixSeconds(0);
    EXPECT_NE(composed, decomposed);
}

}  // namespace
}  // namespace nimbuscrate
