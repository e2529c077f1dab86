#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <unordered_set>

#include "shared/session/DesktopSession.h"
#include "shared/session/RemoteItem.h"
#include "shared/session/RemotePath.h"

namespace nimbuscrate {
namespace {

TEST(NormalizeRemotePath, CanonicalForms) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "/"},
        {"///", "/"},
        {"a//b/./c/", "/a/b/c"},
        {"/x/../y", "/x/../y"},  // ".." is kept, never resolved
        {"/./.", "/"},
        {"relative/path", "/relative/path"},
        {"/Caf\xC3\xA9/", "/Caf\xC3\xA9"},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(normalizeRemotePath(input), expected) << input;
}

const char* kFullSession = R"({"tokens":{"accessToken":"at","refreshToken":"rt","expiresAt":790000000.5},)"
                           R"("drive":{"id":"d1","name":"Nimbuscrate","webDAVURL":"https://drive.example/dav/spaces/d1"},)"
                           R"("sessionID":"0F8B0B5E-3F7C-4D6A-9C43-8A4F1B2C3D4E","unknown":[1,2]})";

TEST(DesktopSession, DecodesTheStoredForm) {
    const DesktopSession session = DesktopSession::fromJSON(kFullSession);
    EXPECT_EQ(session.tokens.accessToken, "at");
    EXPECT_EQ(session.tokens.refreshToken, "rt");
    EXPECT_EQ(session.tokens.expiresAt.referenceSeconds(), 790000000.5);
    ASSERT_TRUE(session.drive);
    EXPECT_EQ(session.drive->id, "d1");
    EXPECT_EQ(session.drive->webDAVURL.string(), "https://drive.example/dav/spaces/d1");
    EXPECT_EQ(session.sessionID, "0F8B0B5E-3F7C-4D6A-9C43-8A4F1B2C3D4E");
}

TEST(DesktopSession, OnlyTokensGivesNoDriveAndNoSessionID) {
    const auto session = DesktopSession::fromJSON(R"({"tokens":{"accessToken":"a","refreshToken":"","expiresAt":0}})");
    EXPECT_FALSE(session.drive);
    EXPECT_FALSE(session.sessionID);  // decoded sessions never get a fresh identifier
}

TEST(DesktopSession, StrictDecodingRefusesWholeSession) {
    const char* cases[] = {
        R"({"tokens":{"accessToken":"a","refreshToken":"r","expiresAt":"2024-01-01T00:00:00Z"}})",
        R"({"tokens":{"accessToken":"a","refreshToken":"r"}})",
        R"({"tokens":{"accessToken":1,"refreshToken":"r","expiresAt":0}})",
        R"({"tokens":{"refreshToken":"r","expiresAt":0}})",
        R"({"tokens":{"accessToken":"a","expiresAt":0}})",
        R"({"tokens":{"accessToken":"a","refreshToken":null,"expiresAt":0}})",
        R"({"tokens":{"accessToken":"a","refreshToken":7,"expiresAt":0}})",
        R"({"tokens":"a.b.c"})",
        R"({"tokens":[]})",
        R"({"tokens":null})",
        R"({"tokens":{"accessToken":"a","refreshToken":"r","expiresAt":0},"drive":{"id":"d","name":"n"}})",
        R"({"tokens":{"accessToken":"a","refreshToken":"r","expiresAt":0},"drive":{"id":"d","name":"n","webDAVURL":"not a url"}})",
        R"({"tokens":{"accessToken":"a","refreshToken":"r","expiresAt":0},"drive":{"name":"n","webDAVURL":"https://h/d"}})",
        R"({"tokens":{"accessToken":"a","refreshToken":"r","expiresAt":0},"drive":{"id":3,"name":"n","webDAVURL":"https://h/d"}})",
        R"({"tokens":{"accessToken":"a","refreshToken":"r","expiresAt":0},"drive":{"id":"d","webDAVURL":"https://h/d"}})",
        R"({"tokens":{"accessToken":"a","refreshToken":"r","expiresAt":0},"drive":{"id":"d","name":false,"webDAVURL":"https://h/d"}})",
        R"({"tokens":{"accessToken":"a","refreshToken":"r","expiresAt":0},"drive":[]})",
        R"({"tokens":{"accessToken":"a","refreshToken":"r","expiresAt":0},"sessionID":5})",
        R"({"drive":null})",
        R"([])",
        R"({"tokens":)",
        "",
    };
    for (const char* text : cases) EXPECT_THROW(DesktopSession::fromJSON(text), SessionDecodingError) << text;
}

TEST(DesktopSession, EncodesCompactlyLeavingOutAbsentOptionals) {
    DesktopSession session{{"at", "rt", Date::fromReferenceSeconds(12.25)}, std::nullopt, std::nullopt};
    const auto json = nlohmann::json::parse(session.toJSON());
    EXPECT_EQ(json, nlohmann::json::parse(R"({"tokens":{"accessToken":"at","refreshToken":"rt","expiresAt":12.25}})"));
    EXPECT_EQ(session.toJSON().find(' '), std::string::npos);

    const DesktopSession full = DesktopSession::fromJSON(kFullSession);
    EXPECT_EQ(DesktopSession::fromJSON(full.toJSON()), full);
}

TEST(DesktopSession, CreatedInMemoryGetsAnUpperCaseIdentifier) {
    const auto a = DesktopSession::create({"a", "r", Date()});
    const auto b = DesktopSession::create({"a", "r", Date()});
    ASSERT_TRUE(a.sessionID && b.sessionID);
    EXPECT_EQ(a.sessionID->size(), 36u);
    EXPECT_NE(a.sessionID, b.sessionID);
    for (char c : *a.sessionID) EXPECT_FALSE(c >= 'a' && c <= 'z');
}

RemoteItem sampleItem() {
    return RemoteItem{"42", "root", "/Docs/a.txt", "a.txt", false, 12, Date::fromUnixSeconds(1.7e9), "\"e1\"", "text/plain"};
}

TEST(RemoteItem, RootHasItsFixedValues) {
    const RemoteItem& root = RemoteItem::root();
    EXPECT_EQ(root.id, "root");
    EXPECT_EQ(root.parentID, "root");
    EXPECT_EQ(root.path, "/");
    EXPECT_EQ(root.name, "Nimbuscrate");
    EXPECT_TRUE(root.isDirectory);
    EXPECT_EQ(root.size, 0);
    EXPECT_EQ(root.modifiedAt.unixSeconds(), -62135769600.0);
    EXPECT_EQ(root.etag, "root");
    EXPECT_FALSE(root.contentType);
}

TEST(RemoteItem, EqualityAndHashing) {
    const RemoteItem item = sampleItem();
    const RemoteItem copy = item;

    RemoteItem composedName = item, decomposedName = item;
    composedName.name = "Caf\xC3\xA9";
    decomposedName.name = "Cafe\xCC\x81";
    EXPECT_EQ(composedName, decomposedName);
    EXPECT_EQ(RemoteItemHash{}(composedName), RemoteItemHash{}(decomposedName));

    RemoteItem noType = item, emptyType = item;
    noType.contentType.reset();
    emptyType.contentType = "";
    EXPECT_NE(noType, emptyType);

    RemoteItem laterDate = item;
    laterDate.modifiedAt = laterDate.modifiedAt.addingSeconds(0.001);
    EXPECT_NE(item, laterDate);

    std::unordered_set<RemoteItem, RemoteItemHash> set{item, copy, noType};
    EXPECT_EQ(set.size(), 2u);
}

TEST(RemoteItem, JSONRoundTripAndStrictness) {
    const RemoteItem item = sampleItem();
    EXPECT_EQ(remoteItemFromJSON(toJSON(item)), item);
    RemoteItem noType = item;
    noType.contentType.reset();
    EXPECT_FALSE(toJSON(noType).contains("contentType"));
    EXPECT_EQ(remoteItemFromJSON(toJSON(noType)), noType);
    EXPECT_EQ(remoteItemFromJSON(toJSON(RemoteItem::root())), RemoteItem::root());

    auto missing = toJSON(item);
    missing.erase("etag");
    EXPECT_THROW(remoteItemFromJSON(missing), nlohmann::json::exception);
    auto wrongType = toJSON(item);
    wrongType["size"] = "12";
    EXPECT_THROW(remoteItemFromJSON(wrongType), nlohmann::json::exception);
}

}  // namespace
}  // namespace nimbuscrate
