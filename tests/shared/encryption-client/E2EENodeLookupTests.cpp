#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "shared/encryption-client/E2EENodeLookup.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/E2EELibrary.h"
#include "shared/session/DesktopError.h"
#include "tests/support/E2EERecordBuilder.h"

namespace nimbuscrate {
namespace {

using testing::E2EERecordBuilder;
using Node = E2EERecordBuilder::NodeSpec;
using FileSpec = E2EERecordBuilder::FileSpec;

// What a lookup gave: a value, an E2EEError case, or a DesktopError kind.
struct Outcome {
    std::optional<E2EEJSON> value;
    std::optional<E2EEError::Case> e2ee;
    std::optional<DesktopError::Kind> desktop;
    std::string payload;  // the DesktopError's identifier
};

template <typename Body>
Outcome outcome(Body&& body) {
    Outcome result;
    try {
        result.value = body();
    } catch (const E2EEError& error) {
        result.e2ee = error.kind();
    } catch (const DesktopError& error) {
        result.desktop = error.kind();
        result.payload = error.payload();
    }
    return result;
}

Outcome value(E2EEJSON v) { return {std::move(v), {}, {}, {}}; }
Outcome e2ee(E2EEError::Case c) { return {{}, c, {}, {}}; }
Outcome desktop(DesktopError::Kind k, std::string payload = {}) { return {{}, {}, k, std::move(payload)}; }

void expectOutcome(const Outcome& got, const Outcome& want) {
    EXPECT_EQ(got.value.has_value(), want.value.has_value());
    if (got.value && want.value) {
        EXPECT_EQ(*got.value, *want.value) << got.value->canonicalString();
    }
    EXPECT_EQ(got.e2ee, want.e2ee);
    EXPECT_EQ(got.desktop, want.desktop);
    EXPECT_EQ(got.payload, want.payload);
}

DriveSelection drive(const std::string& id) { return {id, "Space " + id, *Url::parse("https://drive.example/dav/" + id)}; }

// One library on two drives, built and verified like the client's own:
//
//   drive-1: /Docs (docs), /Docs/Report.pdf (report), /Docs/R\u00E9sum\u00E9.txt (resume, NFC),
//            /Docs/old.txt (deleted), /Docs/\u0130stanbul.txt, /Docs/\u039F\u0394\u039F\u03A3,
//            /Trash (deleted folder) with /Trash/inside.txt
//   drive-2: /Other (other) with /Other/Report.pdf (report2)
class encryptionclient_NodeLookup : public ::testing::Test {
protected:
    encryptionclient_NodeLookup() {
        E2EERecordBuilder::AccountSpec spec;
        spec.ownedDriveIds = {"drive-1", "drive-2"};
        account_ = builder_.accountRecord(spec);
        const std::vector<E2EEJSON> nodes = {
            builder_.nodeListing(Node{"docs", "folder", "root", 1, "Docs", false, false, nullptr, "o1"}),
            builder_.nodeListing(Node{"trash", "folder", "root", 2, "Trash", true, false, nullptr, "o2"}),
            builder_.nodeListing(Node{"other", "folder", "root", 1, "Other", false, false, "drive-2", "o3"}),
            builder_.nodeListing(Node{"old", "file", "docs", 2, "Old.txt", true, false, nullptr, "o4"}),
        };
        std::vector<E2EEJSON> files = {
            file("report", "docs", "Report.pdf"),
            file("resume", "docs", "R\xC3\xA9sum\xC3\xA9.txt"),
            file("inside", "trash", "inside.txt"),
            file("report2", "other", "Report.pdf", "drive-2"),
            file("old", "docs", "Old.txt", "drive-1"),
            file("city", "docs", "\xC4\xB0stanbul.txt"),                  // capital I with dot above
            file("road", "docs", "\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3"),  // a word ending in capital sigma
        };
        items_ = E2EELibrary::snapshot(builder_.keys(), files, nodes, account_).items;
    }

    E2EEJSON file(const std::string& id, const std::string& parent, const std::string& name,
                  const std::string& driveId = "drive-1") {
        FileSpec spec;
        spec.nodeId = id;
        spec.parentId = parent;
        spec.name = name;
        spec.revisionId = "rev-" + id;
        spec.driveId = driveId;
        spec.embeddedGeneration.reset();  // only "old" has a listed node, at a later generation
        return builder_.fileRecord(spec);
    }

    E2EENodeLookup lookup(std::optional<DriveSelection> selected = drive("drive-1")) const {
        return E2EENodeLookup(account_, items_, std::move(selected));
    }

    E2EERecordBuilder builder_;
    E2EEJSON account_;
    std::vector<E2EEJSON> items_;
};

TEST_F(encryptionclient_NodeLookup, Identifiers) {
    using DK = DesktopError::Kind;
    const std::string max(128, 'a');
    const struct {
        const char* label;
        std::string identifier;
        Outcome expected;
    } cases[] = {
        {"drive root", "root", value("root")},
        {"node of this account", "e2ee:acct_1:docs", value("docs")},
        {"all identifier characters", "e2ee:acct_1:aZ09_-", value("aZ09_-")},
        {"128 characters", "e2ee:acct_1:" + max, value(max)},
        {"129 characters", "e2ee:acct_1:" + max + "a", e2ee(E2EEError::Case::invalid)},
        {"nothing after the prefix", "e2ee:acct_1:", e2ee(E2EEError::Case::invalid)},
        {"a dot", "e2ee:acct_1:a.b", e2ee(E2EEError::Case::invalid)},
        {"a slash", "e2ee:acct_1:a/b", e2ee(E2EEError::Case::invalid)},
        {"a non-ASCII letter", "e2ee:acct_1:\xC3\xA9", e2ee(E2EEError::Case::invalid)},
        {"another account", "e2ee:acct_2:docs", desktop(DK::encryptionRequired)},
        {"an account with a longer id", "e2ee:acct_10:docs", desktop(DK::encryptionRequired)},
        {"a plain file id", "abc123", desktop(DK::encryptionRequired)},
        {"a plain path id", "path:/Docs", desktop(DK::encryptionRequired)},
        {"upper-case prefix", "E2EE:acct_1:docs", desktop(DK::encryptionRequired)},
        {"prefix without account", "e2ee:", desktop(DK::encryptionRequired)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        expectOutcome(outcome([&] { return lookup().parseEncryptedIdentifier(c.identifier); }), c.expected);
        RemoteItem item;
        item.id = c.identifier;
        expectOutcome(outcome([&] { return lookup().parseEncryptedIdentifier(item); }), c.expected);
    }

    // Without a string account id only "root" can be read.
    const E2EENodeLookup noAccount(E2EEJSON::object({{"accountId", 7}}), items_, drive("drive-1"));
    expectOutcome(outcome([&] { return noAccount.parseEncryptedIdentifier("root"); }), value("root"));
    expectOutcome(outcome([&] { return noAccount.parseEncryptedIdentifier("e2ee:7:docs"); }),
                  e2ee(E2EEError::Case::invalid));
}

TEST_F(encryptionclient_NodeLookup, SelectedDriveMustBeOwned) {
    const auto driveID = [](const E2EENodeLookup& l) { return E2EEJSON(l.verifiedDrive().id); };
    const struct {
        const char* label;
        E2EEJSON owned;  // "ownedDriveIds" of the account; null leaves it out
        std::optional<DriveSelection> selected;
        Outcome expected;
    } cases[] = {
        {"owned", E2EEJSON::array({"drive-0", "drive-1"}), drive("drive-1"), value("drive-1")},
        {"owned after entries that are not strings", E2EEJSON::array({1, nullptr, "drive-1"}), drive("drive-1"),
         value("drive-1")},
        {"not owned", E2EEJSON::array({"drive-2"}), drive("drive-1"), e2ee(E2EEError::Case::invalid)},
        {"differs in case", E2EEJSON::array({"Drive-1"}), drive("drive-1"), e2ee(E2EEError::Case::invalid)},
        {"no owned drives", E2EEJSON::array(), drive("drive-1"), e2ee(E2EEError::Case::invalid)},
        {"owned drives missing", nullptr, drive("drive-1"), e2ee(E2EEError::Case::invalid)},
        {"owned drives not an array", "drive-1", drive("drive-1"), e2ee(E2EEError::Case::invalid)},
        {"no session or drive", E2EEJSON::array({"drive-1"}), std::nullopt,
         desktop(DesktopError::Kind::noNimbuscrateSpace)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        E2EEJSON account = E2EEJSON::object({{"accountId", "acct_1"}});
        if (!c.owned.isNull()) account.setMember(c.owned, "ownedDriveIds");
        const E2EENodeLookup l(account, items_, c.selected);
        expectOutcome(outcome([&] { return driveID(l); }), c.expected);
        expectOutcome(outcome([&] { return E2EEJSON(l.ownedDriveIDs().id); }), c.expected);
    }
    EXPECT_EQ(lookup().verifiedDrive(), drive("drive-1"));
    // Every lookup that needs the drive refuses an unowned one.
    const E2EENodeLookup unowned(account_, items_, drive("drive-3"));
    expectOutcome(outcome([&] { return unowned.nodeRecord("e2ee:acct_1:docs"); }), e2ee(E2EEError::Case::invalid));
    expectOutcome(outcome([&] {
                      unowned.ensureNameAvailable("new", "root", nullptr);
                      return E2EEJSON(true);
                  }),
                  e2ee(E2EEError::Case::invalid));
}

TEST_F(encryptionclient_NodeLookup, NodeRecordFindsLiveNodesOfTheSelectedDrive) {
    using DK = DesktopError::Kind;
    const auto nodeIdOf = [](const E2EEJSON& item) { return item.member("nodeId"); };
    const struct {
        const char* label;
        std::string identifier;
        DriveSelection selected;
        Outcome expected;
    } cases[] = {
        {"folder", "e2ee:acct_1:docs", drive("drive-1"), value("docs")},
        {"file", "e2ee:acct_1:report", drive("drive-1"), value("report")},
        {"file of the second drive", "e2ee:acct_1:report2", drive("drive-2"), value("report2")},
        {"deleted file", "e2ee:acct_1:old", drive("drive-1"), desktop(DK::missingItem, "e2ee:acct_1:old")},
        {"deleted folder", "e2ee:acct_1:trash", drive("drive-1"), desktop(DK::missingItem, "e2ee:acct_1:trash")},
        {"file in a deleted folder", "e2ee:acct_1:inside", drive("drive-1"),
         desktop(DK::missingItem, "e2ee:acct_1:inside")},
        {"node of another drive", "e2ee:acct_1:report2", drive("drive-1"),
         desktop(DK::missingItem, "e2ee:acct_1:report2")},
        {"unknown node", "e2ee:acct_1:nothing", drive("drive-1"), desktop(DK::missingItem, "e2ee:acct_1:nothing")},
        {"the root is no node", "root", drive("drive-1"), desktop(DK::missingItem, "root")},
        {"another account", "e2ee:acct_2:docs", drive("drive-1"), desktop(DK::encryptionRequired)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const E2EENodeLookup l = lookup(c.selected);
        expectOutcome(outcome([&] { return nodeIdOf(l.nodeRecord(c.identifier)); }), c.expected);
        RemoteItem item;
        item.id = c.identifier;
        expectOutcome(outcome([&] { return nodeIdOf(l.nodeRecord(item)); }), c.expected);
    }
    const E2EEJSON report = lookup().nodeRecord("e2ee:acct_1:report");
    EXPECT_EQ(report.member("path"), E2EEJSON("/Docs/Report.pdf"));
    EXPECT_EQ(report.member("name"), E2EEJSON("Report.pdf"));
}

TEST_F(encryptionclient_NodeLookup, NamesClashAfterCompositionAndLowerCasing) {
    const std::string decomposedResume = "Re\xCC\x81sume\xCC\x81.txt";  // e + U+0301
    const struct {
        const char* label;
        std::string name;
        E2EEJSON parent;
        E2EEJSON excluding;
        bool clash;
    } cases[] = {
        {"same name", "Report.pdf", "docs", nullptr, true},
        {"other letter case", "REPORT.PDF", "docs", nullptr, true},
        {"decomposed form of a composed name", decomposedResume, "docs", nullptr, true},
        {"decomposed and upper case", "RE\xCC\x81SUME\xCC\x81.TXT", "docs", nullptr, true},
        {"a free name", "Report 2.pdf", "docs", nullptr, false},
        {"dotted i for capital I with dot above", "i\xCC\x87stanbul.txt", "docs", nullptr, true},
        {"plain i for capital I with dot above", "istanbul.txt", "docs", nullptr, false},
        {"final sigma for a capital sigma ending the word", "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82", "docs", nullptr,
         true},
        {"medial sigma for a capital sigma ending the word", "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x83", "docs", nullptr,
         false},
        {"accent dropped", "Resume.txt", "docs", nullptr, false},
        {"name of a deleted sibling", "old.txt", "docs", nullptr, false},
        {"name in another folder", "Docs", "docs", nullptr, false},
        {"name at the top", "docs", "root", nullptr, true},
        {"name of a deleted top folder", "trash", "root", nullptr, false},
        {"name on another drive only", "other", "root", nullptr, false},
        {"renaming a node to its own name", "report.PDF", "docs", "report", false},
        {"renaming another node onto it", "report.pdf", "docs", "resume", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto run = [&](bool contentPathName) {
            return outcome([&] {
                if (contentPathName) {
                    lookup().childNamed(c.name, c.parent, c.excluding);
                } else {
                    lookup().ensureNameAvailable(c.name, c.parent, c.excluding);
                }
                return E2EEJSON(true);
            });
        };
        const Outcome expected = c.clash ? e2ee(E2EEError::Case::conflict) : value(true);
        expectOutcome(run(false), expected);
        expectOutcome(run(true), expected);
    }
}

TEST_F(encryptionclient_NodeLookup, ParentsMustBeLiveFoldersOutsideTheNodeTheyTake) {
    using DK = DesktopError::Kind;
    using EC = E2EEError::Case;
    const E2EEJSON none = nullptr;
    const struct {
        const char* label;
        E2EEJSON parent;
        E2EEJSON node;
        Outcome expected;
    } cases[] = {
        {"the root takes anything", "root", "docs", value(true)},
        {"a folder takes a new item", "docs", none, value(true)},
        {"a folder takes another node", "docs", "report2", value(true)},
        {"a file takes nothing", "report", none, e2ee(EC::conflict)},
        {"a file takes no node", "resume", "city", e2ee(EC::conflict)},
        {"a folder is not its own parent", "docs", "docs", e2ee(EC::conflict)},
        {"a deleted folder", "trash", none, desktop(DK::missingItem, "trash")},
        {"a folder of another drive", "other", none, desktop(DK::missingItem, "other")},
        {"an unknown folder", "nowhere", none, desktop(DK::missingItem, "nowhere")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        expectOutcome(outcome([&] {
                          lookup().ensureParentCanHold(c.parent, c.node);
                          return E2EEJSON(true);
                      }),
                      c.expected);
    }

    // Below a node at any depth, and ancestries no checked snapshot has.
    auto folder = [](const char* id, const char* parent) {
        return E2EEJSON::object({{"nodeId", id},
                                 {"parentId", parent},
                                 {"kind", "folder"},
                                 {"driveId", "drive-1"},
                                 {"effectiveDeleted", false}});
    };
    const std::vector<E2EEJSON> chain = {folder("a", "root"), folder("b", "a"), folder("c", "b"), folder("d", "c")};
    const E2EENodeLookup deep(account_, chain, drive("drive-1"));
    expectOutcome(outcome([&] { deep.ensureParentCanHold("d", "a"); return E2EEJSON(true); }), e2ee(EC::conflict));
    expectOutcome(outcome([&] { deep.ensureParentCanHold("d", "c"); return E2EEJSON(true); }), e2ee(EC::conflict));
    expectOutcome(outcome([&] { deep.ensureParentCanHold("b", "c"); return E2EEJSON(true); }), value(true));
    const std::vector<E2EEJSON> loop = {folder("x", "y"), folder("y", "x")};
    const E2EENodeLookup looping(account_, loop, drive("drive-1"));
    expectOutcome(outcome([&] { looping.ensureParentCanHold("x", "z"); return E2EEJSON(true); }), e2ee(EC::history));
    const std::vector<E2EEJSON> orphan = {folder("x", "gone")};
    const E2EENodeLookup orphaned(account_, orphan, drive("drive-1"));
    expectOutcome(outcome([&] { orphaned.ensureParentCanHold("x", "z"); return E2EEJSON(true); }), e2ee(EC::history));
}

TEST_F(encryptionclient_NodeLookup, MalformedSiblingStopsTheScan) {
    const auto item = [](E2EEJSON nodeId, E2EEJSON name) {
        E2EEJSON i = E2EEJSON::object({{"parentId", "root"}, {"driveId", "drive-1"}});
        if (!nodeId.isNull()) i.setMember(nodeId, "nodeId");
        if (!name.isNull()) i.setMember(name, "name");
        return i;
    };
    const auto check = [&](const std::vector<E2EEJSON>& items, const E2EEJSON& excluding) {
        return outcome([&] {
            E2EENodeLookup(account_, items, drive("drive-1")).ensureNameAvailable("a", "root", excluding);
            return E2EEJSON(true);
        });
    };
    // A live sibling without a string name is refused ...
    expectOutcome(check({item("x", 5)}, nullptr), e2ee(E2EEError::Case::invalid));
    expectOutcome(check({item("x", nullptr)}, nullptr), e2ee(E2EEError::Case::invalid));
    // ... unless the scan stops earlier at a clash, or it is the excluded node
    // (a missing "nodeId" reads as null and matches a null excluding).
    expectOutcome(check({item("y", "A"), item("x", 5)}, nullptr), e2ee(E2EEError::Case::conflict));
    expectOutcome(check({item("x", 5)}, "x"), value(true));
    expectOutcome(check({item(nullptr, 5)}, nullptr), value(true));
    // Entries that are not objects are skipped.
    expectOutcome(check({E2EEJSON("a"), E2EEJSON(nullptr)}, nullptr), value(true));
}

}  // namespace
}  // namespace nimbuscrate
