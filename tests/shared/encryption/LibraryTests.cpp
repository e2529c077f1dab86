#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "shared/encryption/CryptoError.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/E2EELibrary.h"
#include "tests/shared/encryption/Fixtures.h"
#include "tests/shared/encryption/LibraryBuilder.h"

namespace nimbuscrate {
namespace {

using testing::expectE2EEError;
using testing::expectInvalid;
using testing::LibraryBuilder;
using Node = LibraryBuilder::NodeSpec;
using FileSpec = LibraryBuilder::FileSpec;
using Case = E2EEError::Case;

class encryption_Library : public ::testing::Test {
protected:
    E2EELibrary::Snapshot snapshot(const std::vector<E2EEJSON>& files, const std::vector<E2EEJSON>& nodes,
                                   const E2EEJSON& account = LibraryBuilder::account(), std::size_t threads = 1) {
        return E2EELibrary::snapshot(builder_.keys(), files, nodes, account, threads);
    }

    void expectFailure(Case expected, const std::vector<E2EEJSON>& files, const std::vector<E2EEJSON>& nodes,
                       const std::string& label, const E2EEJSON& account = LibraryBuilder::account()) {
        expectE2EEError(expected, [&] { snapshot(files, nodes, account); }, label);
    }

    static const E2EEJSON* find(const E2EELibrary::Snapshot& snapshot, const std::string& nodeId) {
        for (const auto& item : snapshot.items) {
            if (item.member("nodeId") == E2EEJSON(nodeId)) return &item;
        }
        return nullptr;
    }

    E2EEJSON folder(const std::string& id, const std::string& parent = "root", std::int64_t generation = 1,
                    const E2EEJSON& drive = nullptr) {
        Node spec;
        spec.nodeId = id;
        spec.parentId = parent;
        spec.generation = generation;
        spec.name = "F-" + id;
        spec.driveId = drive;
        return builder_.nodeListing(spec);
    }

    FileSpec fileSpec(const std::string& id, const std::string& parent = "root") {
        FileSpec spec;
        spec.nodeId = id;
        spec.parentId = parent;
        spec.revisionId = "rev-" + id;
        spec.name = "file-" + id;
        spec.embeddedGeneration.reset();  // tests that want an embedded node set it
        return spec;
    }

    // A node listing entry holding exactly the node record embedded in a file record.
    static E2EEJSON embeddedListing(const E2EEJSON& fileRecord) {
        return LibraryBuilder::listing(fileRecord.member("manifest").member("value").member("node"));
    }

    // The listed node of a file, matching fileSpec's embedded node name.
    E2EEJSON fileNode(const std::string& id, const std::string& parent = "root", std::int64_t generation = 1) {
        Node spec;
        spec.nodeId = id;
        spec.kind = "file";
        spec.parentId = parent;
        spec.generation = generation;
        spec.name = "file-" + id;
        return builder_.nodeListing(spec);
    }

    LibraryBuilder builder_;
};

TEST_F(encryption_Library, EmptyListings) {
    const auto result = snapshot({}, {});
    EXPECT_TRUE(result.items.empty());
    EXPECT_EQ(result.receipts.canonicalString(), "{}");
    expectFailure(Case::invalid, {}, {}, "no ownedDriveIds", E2EEJSON::object({{"primaryDriveId", "drive-1"}}));
    expectFailure(Case::invalid, {}, {}, "ownedDriveIds not an array",
                  E2EEJSON::object({{"ownedDriveIds", "drive-1"}}));
    expectFailure(Case::invalid, {}, {}, "empty account", E2EEJSON::object());
}

TEST_F(encryption_Library, CheckHistoryKeepsTheHighestGeneration) {
    E2EEJSON receipts = E2EEJSON::object();
    expectE2EEError(Case::history, [&] { E2EELibrary::checkHistory("node:a", 0, E2EEJSON("x"), receipts); });
    E2EELibrary::checkHistory("node:a", 3, E2EEJSON("x"), receipts);
    E2EELibrary::checkHistory("node:a", 2, E2EEJSON("older"), receipts);
    EXPECT_EQ(receipts.member("node:a").member("generation"), E2EEJSON(3));
    EXPECT_EQ(receipts.member("node:a").member("hash"),
              E2EEJSON(E2EECrypto::sha256Base64URL(bytesOf("\"x\""))));
    expectE2EEError(Case::history, [&] { E2EELibrary::checkHistory("node:a", 3, E2EEJSON("y"), receipts); });
    E2EELibrary::checkHistory("node:a", 4, E2EEJSON("y"), receipts);
    EXPECT_EQ(receipts.member("node:a").member("generation"), E2EEJSON(4));
}

TEST_F(encryption_Library, NodeListedTwiceKeepsTheHigherGeneration) {
    const auto result = snapshot({}, {folder("a", "root", 3), folder("a", "root", 5)});
    ASSERT_EQ(result.items.size(), 1u);
    EXPECT_EQ(result.items[0].member("generation"), E2EEJSON(5));
    EXPECT_EQ(result.receipts.member("node:a").member("generation"), E2EEJSON(5));
    // Two different signed bodies at one generation.
    expectFailure(Case::history, {}, {folder("a", "root", 5), folder("a", "root", 5)}, "same generation, other body");
    const E2EEJSON same = folder("a", "root", 5);
    EXPECT_EQ(snapshot({}, {same, same}).items.size(), 1u);
}

TEST_F(encryption_Library, ErasedNodes) {
    Node folderSpec;
    folderSpec.nodeId = "old";
    folderSpec.name = "Old";
    expectFailure(Case::invalid, {}, {builder_.nodeListing(folderSpec, true)}, "erased but not purged");

    folderSpec.deleted = true;
    folderSpec.purged = true;
    const auto result = snapshot({builder_.fileRecord(fileSpec("f1", "old"))},
                                 {builder_.nodeListing(folderSpec, true), folder("child", "old"),
                                  fileNode("f1", "old")});
    ASSERT_EQ(result.items.size(), 3u);
    for (const auto& item : result.items) {
        EXPECT_TRUE(item.member("effectiveDeleted").boolValue()) << item.member("nodeId").canonicalString();
    }
    EXPECT_EQ(find(result, "old")->member("erased"), E2EEJSON(true));
    EXPECT_EQ(find(result, "child")->member("path"), E2EEJSON("/Old/F-child"));
}

TEST_F(encryption_Library, FileRecordsMustBeCurrentAndOnAnOwnedDrive) {
    FileSpec notCurrent = fileSpec("f1");
    notCurrent.current = false;
    expectFailure(Case::invalid, {builder_.fileRecord(notCurrent)}, {fileNode("f1")}, "not current");

    E2EEJSON otherParent = builder_.fileRecord(fileSpec("f1"));
    otherParent.setMember("drive-2", "parentItemId");
    expectFailure(Case::invalid, {otherParent}, {fileNode("f1")}, "parentItemId differs");

    FileSpec foreign = fileSpec("f1");
    foreign.driveId = "drive-9";
    expectFailure(Case::invalid, {builder_.fileRecord(foreign)}, {fileNode("f1")}, "foreign drive");

    E2EEJSON badCommit = builder_.fileRecord(fileSpec("f1"));
    badCommit.setMember(2, "generation");
    expectFailure(Case::invalid, {badCommit}, {fileNode("f1")}, "entry disagrees with its manifest");

    E2EEJSON badSignature = builder_.fileRecord(fileSpec("f1"));
    E2EEJSON manifest = badSignature.member("manifest");
    manifest.setMember(LibraryBuilder().fileRecord(fileSpec("f1")).member("manifest").member("signature"), "signature");
    badSignature.setMember(manifest, "manifest");
    expectFailure(Case::invalid, {badSignature}, {fileNode("f1")}, "manifest signed by another key");
}

TEST_F(encryption_Library, ManifestWithoutAnyNodeGivesAFileItemFromTheManifest) {
    FileSpec spec = fileSpec("f1");
    spec.embeddedGeneration.reset();
    const auto result = snapshot({builder_.fileRecord(spec)}, {});
    ASSERT_EQ(result.items.size(), 1u);
    const E2EEJSON& item = result.items[0];
    EXPECT_EQ(item.member("generation"), E2EEJSON(0));
    EXPECT_EQ(item.member("deleted"), E2EEJSON(false));
    EXPECT_EQ(item.member("purged"), E2EEJSON(false));
    EXPECT_EQ(item.member("name"), E2EEJSON("file-f1"));
    EXPECT_EQ(item.member("path"), E2EEJSON("/file-f1"));
    EXPECT_EQ(item.member("size"), E2EEJSON(10));
    EXPECT_EQ(item.member("mime"), E2EEJSON("text/plain"));
    EXPECT_EQ(item.member("modified"), E2EEJSON(1500));
    EXPECT_EQ(item.member("driveId"), E2EEJSON("drive-1"));
    EXPECT_EQ(item.member("entry").member("revisionId"), E2EEJSON("rev-f1"));
    EXPECT_FALSE(item.member("effectiveDeleted").boolValue());
    EXPECT_EQ(result.receipts.member("file:f1").member("generation"), E2EEJSON(1));
}

TEST_F(encryption_Library, EmbeddedNodeAgainstTheNodeListing) {
    FileSpec spec = fileSpec("f1");
    spec.embeddedGeneration = 4;
    const E2EEJSON record = builder_.fileRecord(spec);
    expectFailure(Case::history, {record}, {fileNode("f1", "root", 3)}, "listing behind the manifest");
    expectFailure(Case::history, {record}, {}, "embedded node not listed");

    const auto ahead = snapshot({record}, {fileNode("f1", "root", 5)});
    EXPECT_EQ(ahead.receipts.member("node:f1").member("generation"), E2EEJSON(5));
    EXPECT_EQ(ahead.items.at(0).member("generation"), E2EEJSON(5));

    // The same generation: identical body accepted, another body refused.
    const E2EEJSON embedded = record.member("manifest").member("value").member("node");
    EXPECT_EQ(snapshot({record}, {LibraryBuilder::listing(embedded)}).items.size(), 1u);
    expectFailure(Case::history, {record}, {fileNode("f1", "root", 4)}, "same generation, other body");

    // Listed as a folder.
    expectFailure(Case::invalid, {record}, {folder("f1", "root", 5)}, "listed node is not a file");
}

TEST_F(encryption_Library, EmbeddedNodeMustAgreeWithItsManifest) {
    auto withEmbedded = [&](const Node& node) {
        FileSpec spec = fileSpec("f1");
        E2EEJSON record = builder_.fileRecord(spec);
        E2EEJSON value = record.member("manifest").member("value");
        value.setMember(builder_.nodeRecord(node), "node");
        record.setMember(E2EECrypto::signRecord(builder_.keys(), value), "manifest");
        return record;
    };
    Node base;
    base.nodeId = "f1";
    base.kind = "file";
    base.name = "file-f1";
    const std::vector<std::pair<std::string, Node>> cases = {
        {"other name", [&] { Node n = base; n.name = "other"; return n; }()},
        {"other parent", [&] { Node n = base; n.parentId = "p"; return n; }()},
        {"other node", [&] { Node n = base; n.nodeId = "f2"; return n; }()},
        {"folder", [&] { Node n = base; n.kind = "folder"; return n; }()},
        {"deleted", [&] { Node n = base; n.deleted = true; return n; }()},
    };
    for (const auto& [label, node] : cases) {
        expectFailure(Case::invalid, {withEmbedded(node)}, {fileNode("f1", "root", 2)}, label);
    }
}

TEST_F(encryption_Library, FileNodeWithoutACurrentRecordIsNotAnItem) {
    const auto result = snapshot({}, {fileNode("f1"), folder("d")});
    ASSERT_EQ(result.items.size(), 1u);
    EXPECT_EQ(result.items[0].member("nodeId"), E2EEJSON("d"));
}

TEST_F(encryption_Library, HigherFileGenerationWins) {
    FileSpec second = fileSpec("f1");
    second.revisionId = "r2";
    second.previousGeneration = 1;
    second.previousRevisionId = "r1";
    second.embeddedGeneration = 2;
    FileSpec third = second;
    third.revisionId = "r3";
    third.previousGeneration = 2;
    third.previousRevisionId = "r2";
    third.embeddedGeneration = 3;
    for (const bool reversed : {false, true}) {
        std::vector<E2EEJSON> files = {builder_.fileRecord(second), builder_.fileRecord(third)};
        if (reversed) std::reverse(files.begin(), files.end());
        const auto result = snapshot(files, {fileNode("f1", "root", 4)});
        ASSERT_EQ(result.items.size(), 1u);
        EXPECT_EQ(result.items[0].member("entry").member("generation"), E2EEJSON(3));
        EXPECT_EQ(result.items[0].member("entry").member("revisionId"), E2EEJSON("r3"));
        EXPECT_EQ(result.receipts.member("file:f1").member("generation"), E2EEJSON(3));
    }
}

TEST_F(encryption_Library, PlacementDepthCyclesAndParents) {
    auto chain = [&](int folders) {
        std::vector<E2EEJSON> nodes;
        std::string parent = "root";
        for (int i = 0; i < folders; ++i) {
            const std::string id = "d" + std::to_string(i);
            nodes.push_back(folder(id, parent));
            parent = id;
        }
        return std::make_pair(nodes, parent);
    };
    {
        auto [nodes, deepest] = chain(127);
        const auto result = snapshot({builder_.fileRecord(fileSpec("f", deepest))}, nodes);
        const E2EEJSON* file = find(result, "f");
        ASSERT_NE(file, nullptr);
        const std::string path = *file->member("path").stringValue();
        EXPECT_EQ(std::count(path.begin(), path.end(), '/'), 128) << "a path of 128 names";
        EXPECT_EQ(path.substr(0, 10), "/F-d0/F-d1");
    }
    {
        auto [nodes, deepest] = chain(128);
        expectFailure(Case::history, {builder_.fileRecord(fileSpec("f", deepest))}, nodes, "128 folders above");
        expectFailure(Case::history, {}, chain(129).first, "129 nested folders");
    }
    expectFailure(Case::history, {}, {folder("a", "a")}, "own parent");
    expectFailure(Case::history, {}, {folder("a", "b"), folder("b", "a")}, "cycle");
    expectFailure(Case::history, {}, {folder("a", "missing")}, "unlisted parent");
    expectFailure(Case::history, {builder_.fileRecord(fileSpec("f1")), builder_.fileRecord(fileSpec("f2", "f1"))},
                  {fileNode("f1"), fileNode("f2", "f1")}, "parent is a file");
}

TEST_F(encryption_Library, DrivesAreInheritedFromTheNearestAncestor) {
    const auto result = snapshot({builder_.fileRecord(fileSpec("f", "inner"))},
                                 {folder("top", "root", 1, "drive-1"), folder("inner", "top"), folder("plain")},
                                 LibraryBuilder::account({"drive-1", "drive-2"}, "drive-2"));
    EXPECT_EQ(find(result, "inner")->member("driveId"), E2EEJSON("drive-1"));
    EXPECT_EQ(find(result, "plain")->member("driveId"), E2EEJSON("drive-2")) << "the account's primary drive";
    EXPECT_EQ(find(result, "f")->member("driveId"), E2EEJSON("drive-1"));

    expectFailure(Case::invalid, {}, {folder("plain")}, "no drive at all", LibraryBuilder::account({"drive-1"}, nullptr));
    FileSpec other = fileSpec("f", "top");
    other.driveId = "drive-2";
    expectFailure(Case::invalid, {builder_.fileRecord(other)}, {folder("top", "root", 1, "drive-1")},
                  "file on another drive than its folder", LibraryBuilder::account({"drive-1", "drive-2"}));
    expectFailure(Case::invalid, {}, {folder("top", "root", 1, "drive-1"), folder("inner", "top", 1, "drive-2")},
                  "two drives on one chain", LibraryBuilder::account({"drive-1", "drive-2"}));
    expectFailure(Case::invalid, {}, {folder("top", "root", 1, "drive-3")}, "folder drive not owned");
}

TEST_F(encryption_Library, ThumbnailsAttachToTheCurrentRevisionOfTheirSource) {
    auto thumbnail = [&](const std::string& id, const std::string& sourceNode, const std::string& sourceRevision,
                         const std::string& revision) {
        FileSpec spec = fileSpec(id);
        spec.revisionId = revision;
        spec.mime = "image/jpeg";
        spec.size = 100;
        spec.name = "thumbnail.jpg";
        spec.thumbnail = E2EEJSON::object({{"version", 1}, {"sourceNodeId", sourceNode},
                                           {"sourceRevisionId", sourceRevision}, {"width", 10}, {"height", 10}});
        return spec;
    };
    std::vector<E2EEJSON> files = {builder_.fileRecord(fileSpec("src")),
                                   builder_.fileRecord(thumbnail("t1", "src", "rev-src", "1aaa")),
                                   builder_.fileRecord(thumbnail("t2", "src", "rev-src", "faaa")),
                                   builder_.fileRecord(thumbnail("t3", "src", "older", "zzzz")),
                                   builder_.fileRecord(thumbnail("t4", "missing", "rev-src", "yyyy")),
                                   builder_.fileRecord(thumbnail("t6", "t1", "1aaa", "xxxx"))};
    FileSpec otherDrive = thumbnail("t5", "src", "rev-src", "wwww");
    otherDrive.driveId = "drive-2";
    files.push_back(builder_.fileRecord(otherDrive));
    Node deletedThumbnail;
    deletedThumbnail.nodeId = "t7";
    deletedThumbnail.kind = "file";
    deletedThumbnail.name = "thumbnail.jpg";
    deletedThumbnail.deleted = true;
    files.push_back(builder_.fileRecord(thumbnail("t7", "src", "rev-src", "vvvv")));

    const auto result = snapshot(files, {builder_.nodeListing(deletedThumbnail)},
                                 LibraryBuilder::account({"drive-1", "drive-2"}));
    ASSERT_EQ(result.items.size(), 1u) << "thumbnail files are never items";
    const E2EEJSON& source = result.items[0];
    const E2EEJSON::Array* entries = source.member("thumbnailEntries").arrayValue();
    ASSERT_NE(entries, nullptr);
    ASSERT_EQ(entries->size(), 2u);
    EXPECT_EQ((*entries)[0].member("revisionId"), E2EEJSON("faaa"));
    EXPECT_EQ((*entries)[1].member("revisionId"), E2EEJSON("1aaa"));
    EXPECT_EQ(source.member("thumbnailEntry").member("revisionId"), E2EEJSON("faaa"));

    // A deleted source gets none.
    Node deletedSource;
    deletedSource.nodeId = "src";
    deletedSource.kind = "file";
    deletedSource.name = "file-src";
    deletedSource.generation = 2;
    deletedSource.deleted = true;
    const auto deleted = snapshot({files[0], files[1]}, {builder_.nodeListing(deletedSource)});
    ASSERT_EQ(deleted.items.size(), 1u);
    EXPECT_TRUE(deleted.items[0].member("thumbnailEntry").isNull());
}

TEST_F(encryption_Library, AnyOpenerFailureFailsTheWholeSnapshot) {
    E2EEJSON tampered = folder("a");
    E2EEJSON state = tampered.member("state");
    E2EEJSON value = state.member("value");
    value.setMember(9, "generation");
    state.setMember(value, "value");
    tampered.setMember(state, "state");
    expectFailure(Case::invalid, {}, {folder("b"), tampered}, "changed signed body");
}

TEST_F(encryption_Library, ResultDoesNotDependOnListingOrderOrThreads) {
    std::vector<E2EEJSON> nodes = {folder("top", "root", 2, "drive-1"), folder("mid", "top", 3), folder("low", "mid")};
    std::vector<E2EEJSON> files;
    for (int i = 0; i < 12; ++i) {
        const std::string id = "f" + std::to_string(i);
        const std::string parent = i % 3 == 0 ? "root" : (i % 3 == 1 ? "mid" : "low");
        FileSpec spec = fileSpec(id, parent);
        if (i % 2 == 0) spec.embeddedGeneration = 1;
        files.push_back(builder_.fileRecord(spec));
        // Listed with exactly the embedded body, ahead of it, or not at all.
        if (i % 4 == 0) nodes.push_back(embeddedListing(files.back()));
        if (i % 4 == 2) nodes.push_back(fileNode(id, parent, 2));
    }

    const auto reference = snapshot(files, nodes, LibraryBuilder::account());
    ASSERT_EQ(reference.items.size(), 15u);
    std::mt19937 random(7);
    for (int round = 0; round < 50; ++round) {
        std::shuffle(files.begin(), files.end(), random);
        std::shuffle(nodes.begin(), nodes.end(), random);
        const std::size_t threads = 1 + static_cast<std::size_t>(round % 8);
        const auto result = snapshot(files, nodes, LibraryBuilder::account(), threads);
        EXPECT_EQ(E2EEJSON::array(result.items), E2EEJSON::array(reference.items)) << round;
        EXPECT_EQ(result.receipts.canonicalString(), reference.receipts.canonicalString()) << round;
    }
}

TEST_F(encryption_Library, FirstFailureInListingOrderWinsWhateverTheThreads) {
    // A node listed twice at one generation with two bodies (history) and a
    // node whose signature belongs to another record (invalid): whichever
    // comes first in the listing is reported, however many threads open them.
    E2EEJSON badSignature = folder("b");
    E2EEJSON state = badSignature.member("state");
    state.setMember(folder("c").member("state").member("signature"), "signature");
    badSignature.setMember(state, "state");
    std::vector<E2EEJSON> nodes;
    for (int i = 0; i < 30; ++i) nodes.push_back(folder("ok" + std::to_string(i)));
    const std::vector<E2EEJSON> conflicting = {folder("x", "root", 2), folder("x", "root", 2)};

    std::vector<E2EEJSON> historyFirst = nodes;
    historyFirst.insert(historyFirst.end(), conflicting.begin(), conflicting.end());
    historyFirst.push_back(badSignature);
    std::vector<E2EEJSON> invalidFirst = nodes;
    invalidFirst.push_back(badSignature);
    invalidFirst.insert(invalidFirst.end(), conflicting.begin(), conflicting.end());
    for (const std::size_t threads : {1u, 2u, 8u}) {
        expectE2EEError(Case::history, [&] { snapshot({}, historyFirst, LibraryBuilder::account(), threads); },
                        "history first");
        expectE2EEError(Case::invalid, [&] { snapshot({}, invalidFirst, LibraryBuilder::account(), threads); },
                        "invalid first");
    }
}

// What a snapshot call ended with, as text: "ok", the E2EEError case or the
// CryptoError kind.
std::string outcomeOf(const std::function<void()>& body) {
    try {
        body();
        return "ok";
    } catch (const E2EEError& error) {
        return "E2EEError " + std::to_string(error.code());
    } catch (const CryptoError& error) {
        return "CryptoError " + std::to_string(static_cast<int>(error.kind()));
    } catch (const std::exception& error) {
        return std::string("other: ") + error.what();
    }
}

TEST_F(encryption_Library, ALibraryOfEveryShapeIsTheSameOnAnyNumberOfThreads) {
    // Drives set on a top folder and inherited, an erased subtree, a node
    // listed twice, a file with two current records, files without a listed
    // node, and thumbnails: every step of the snapshot has work to do.
    std::vector<E2EEJSON> nodes = {folder("top", "root", 2, "drive-1"), folder("other", "root", 1, "drive-2"),
                                   folder("top", "root", 1, "drive-1")};
    Node gone;
    gone.nodeId = "gone";
    gone.parentId = "top";
    gone.name = "Gone";
    gone.deleted = true;
    gone.purged = true;
    nodes.push_back(builder_.nodeListing(gone, true));
    std::vector<E2EEJSON> files;
    for (int i = 0; i < 40; ++i) {
        const std::string id = "f" + std::to_string(i);
        const std::string folderId = "d" + std::to_string(i % 8);
        if (i < 8) nodes.push_back(folder(folderId, i % 3 == 0 ? "gone" : (i % 3 == 1 ? "top" : "other")));
        FileSpec spec = fileSpec(id, folderId);
        spec.driveId = i % 8 % 3 == 2 ? "drive-2" : "drive-1";
        if (i % 2 == 0) spec.embeddedGeneration = 1;
        files.push_back(builder_.fileRecord(spec));
        if (i % 4 == 0) nodes.push_back(embeddedListing(files.back()));
        if (i % 4 == 2) nodes.push_back(fileNode(id, folderId, 2));
        if (i % 10 == 1) {  // a newer revision, listed before or after the older one
            FileSpec newer = spec;
            newer.revisionId = "rev2-" + id;
            newer.previousGeneration = 1;
            newer.previousRevisionId = spec.revisionId;
            files.insert(i % 20 == 1 ? files.end() - 1 : files.end(), builder_.fileRecord(newer));
        }
        if (i % 5 == 3) {  // a thumbnail of the file's revision
            FileSpec thumbnail = fileSpec("t" + std::to_string(i), folderId);
            thumbnail.driveId = spec.driveId;
            thumbnail.revisionId = "t" + std::to_string(i) + "rev";
            thumbnail.mime = "image/jpeg";
            thumbnail.name = "thumbnail.jpg";
            thumbnail.thumbnail = E2EEJSON::object({{"version", 1}, {"sourceNodeId", id},
                                                    {"sourceRevisionId", spec.revisionId}, {"width", 8},
                                                    {"height", 8}});
            files.push_back(builder_.fileRecord(thumbnail));
        }
    }
    const E2EEJSON account = LibraryBuilder::account({"drive-1", "drive-2"});

    const auto reference = snapshot(files, nodes, account, 1);
    ASSERT_EQ(reference.items.size(), 3u + 8u + 40u);
    const auto count = [&](const std::function<bool(const E2EEJSON&)>& test) {
        return std::count_if(reference.items.begin(), reference.items.end(), test);
    };
    // Thumbnails of files 13, 18, 23, 28 and 33 attach; those of 3, 8 and 38
    // are in the erased subtree.
    EXPECT_EQ(count([](const E2EEJSON& item) { return !item.member("thumbnailEntry").isNull(); }), 5);
    // "gone", d0, d3, d6 and the 15 files in those three folders.
    EXPECT_EQ(count([](const E2EEJSON& item) { return item.member("effectiveDeleted").boolValue(); }), 4 + 15);
    // "other", d2, d5 and the 10 files in those two folders.
    EXPECT_EQ(count([](const E2EEJSON& item) { return item.member("driveId") == E2EEJSON("drive-2"); }), 3 + 10);
    EXPECT_EQ(find(reference, "top")->member("generation"), E2EEJSON(2));
    EXPECT_EQ(find(reference, "f11")->member("entry").member("revisionId"), E2EEJSON("rev2-f11"));
    EXPECT_EQ(find(reference, "f21")->member("entry").member("revisionId"), E2EEJSON("rev2-f21"));

    for (const std::size_t threads : {2u, 3u, 8u, 16u, 100u}) {
        const auto result = snapshot(files, nodes, account, threads);
        EXPECT_EQ(E2EEJSON::array(result.items), E2EEJSON::array(reference.items)) << threads << " threads";
        EXPECT_EQ(result.receipts.canonicalString(), reference.receipts.canonicalString()) << threads << " threads";
    }
}

TEST_F(encryption_Library, TheFirstBadRecordIsReportedWhereverItSitsAndWhateverTheThreads) {
    // A valid library of 20 folders and 20 files.
    std::vector<E2EEJSON> goodNodes;
    std::vector<E2EEJSON> goodFiles;
    for (int i = 0; i < 20; ++i) {
        const std::string suffix = (i < 10 ? "0" : "") + std::to_string(i);
        goodNodes.push_back(folder("d" + suffix));
        FileSpec spec = fileSpec("f" + suffix, "d" + suffix);
        if (i % 2 == 0) spec.embeddedGeneration = 1;
        goodFiles.push_back(builder_.fileRecord(spec));
        if (i % 2 == 0) goodNodes.push_back(embeddedListing(goodFiles.back()));
    }

    // Records, each bad in one way, named by an identifier. The checks run
    // node records in listing order, then file records in listing order,
    // then the placement of items in identifier order: stage and position
    // say which of two bad records is reported.
    enum Stage { nodeRecord = 0, fileRecord = 1, placement = 2 };
    struct Bad {
        std::string label;
        Stage stage;
        std::function<E2EEJSON(const std::string& id)> make;
        std::string expected;
    };
    const std::string invalid = "E2EEError " + std::to_string(static_cast<int>(Case::invalid));
    const std::string history = "E2EEError " + std::to_string(static_cast<int>(Case::history));
    const std::string unauthentic =
        "CryptoError " + std::to_string(static_cast<int>(CryptoError::Kind::authenticationFailure));
    // A signed body whose metadata envelope is sealed under another key.
    auto resealed = [&](E2EEJSON value, const std::string& purpose, const E2EEJSON& revision) {
        value.setMember(E2EECrypto::sealEnvelope(E2EECrypto::randomBytes(32), bytesOf("{}"),
                                                 E2EECrypto::associatedData("acct_1", value.member("nodeId"),
                                                                            revision, purpose)),
                        "metadata");
        return E2EECrypto::signRecord(builder_.keys(), value);
    };
    const std::vector<Bad> bads = {
        {"node that does not decrypt", nodeRecord,
         [&](const std::string& id) {
             const E2EEJSON record = folder(id).member("state");
             return LibraryBuilder::listing(resealed(record.member("value"), "node-metadata", "1"));
         },
         unauthentic},
        {"erased node that is not purged", nodeRecord,
         [&](const std::string& id) { return LibraryBuilder::listing(folder(id).member("state"), true); }, invalid},
        {"file record that is not current", fileRecord,
         [&](const std::string& id) {
             FileSpec spec = fileSpec(id);
             spec.current = false;
             return builder_.fileRecord(spec);
         },
         invalid},
        {"embedded node that is not listed", fileRecord,
         [&](const std::string& id) {
             FileSpec spec = fileSpec(id);
             spec.embeddedGeneration = 1;
             return builder_.fileRecord(spec);
         },
         history},
        {"manifest whose metadata does not decrypt", fileRecord,
         [&](const std::string& id) {
             E2EEJSON record = builder_.fileRecord(fileSpec(id));
             const E2EEJSON value = record.member("manifest").member("value");
             record.setMember(resealed(value, "metadata", value.member("revisionId")), "manifest");
             return record;
         },
         unauthentic},
        {"folder under an unlisted parent", placement, [&](const std::string& id) { return folder(id, "missing"); },
         history},
        {"folder on a drive the account does not own", placement,
         [&](const std::string& id) { return folder(id, "root", 1, "drive-9"); }, invalid},
    };
    auto withBad = [&](std::vector<std::pair<const Bad*, std::size_t>> placed, std::vector<E2EEJSON>& nodes,
                       std::vector<E2EEJSON>& files) {
        nodes = goodNodes;
        files = goodFiles;
        // From the last position down, so that earlier positions stay put.
        std::sort(placed.begin(), placed.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
        for (const auto& [bad, position] : placed) {
            // Identifiers sort as the positions do: "a..." first, "z..." last.
            const std::string id = std::string(1, static_cast<char>('a' + position)) + "-bad";
            std::vector<E2EEJSON>& listing = bad->stage == fileRecord ? files : nodes;
            listing.insert(listing.begin() + static_cast<std::ptrdiff_t>(std::min(position, listing.size())),
                           bad->make(id));
        }
    };
    const std::vector<std::size_t> threadCounts = {1, 2, 8};

    for (const Bad& bad : bads) {
        for (const std::size_t position : {0u, 12u, 25u}) {
            std::vector<E2EEJSON> nodes;
            std::vector<E2EEJSON> files;
            withBad({{&bad, position}}, nodes, files);
            for (const std::size_t threads : threadCounts) {
                const std::string outcome =
                    outcomeOf([&] { snapshot(files, nodes, LibraryBuilder::account(), threads); });
                EXPECT_EQ(outcome, bad.expected) << bad.label << " at " << position << " on " << threads << " threads";
            }
        }
    }

    // A record's receipt is taken before its later checks: a node listed
    // again at one generation with another body is history even when it is
    // also erased without being purged; listed first, it is only the latter.
    const E2EEJSON again = LibraryBuilder::listing(folder("d05").member("state"), true);
    for (const std::size_t threads : threadCounts) {
        std::vector<E2EEJSON> nodes = goodNodes;
        nodes.push_back(again);
        EXPECT_EQ(outcomeOf([&] { snapshot(goodFiles, nodes, LibraryBuilder::account(), threads); }), history)
            << threads << " threads";
        nodes.pop_back();
        nodes.insert(nodes.begin(), again);
        EXPECT_EQ(outcomeOf([&] { snapshot(goodFiles, nodes, LibraryBuilder::account(), threads); }), invalid)
            << threads << " threads";
    }

    // Two bad records that fail differently: the one checked first wins.
    for (const Bad& first : bads) {
        for (const Bad& second : bads) {
            if (first.expected == second.expected) continue;
            std::vector<E2EEJSON> nodes;
            std::vector<E2EEJSON> files;
            withBad({{&first, 3}, {&second, 15}}, nodes, files);
            const std::string& expected = first.stage <= second.stage ? first.expected : second.expected;
            for (const std::size_t threads : threadCounts) {
                EXPECT_EQ(outcomeOf([&] { snapshot(files, nodes, LibraryBuilder::account(), threads); }), expected)
                    << first.label << ", then " << second.label << ", on " << threads << " threads";
            }
        }
    }
}

TEST(encryption_LibraryReceipts, VerifyReceiptsRefusesRollbacks) {
    auto receipt = [](std::int64_t generation, const char* hash) {
        return E2EEJSON::object({{"generation", generation}, {"hash", hash}});
    };
    const E2EEJSON current = E2EEJSON::object({{"node:a", receipt(5, "h5")}, {"file:a", receipt(2, "h2")}});
    EXPECT_NO_THROW(E2EELibrary::verifyReceipts(E2EEJSON::object(), current));
    EXPECT_NO_THROW(E2EELibrary::verifyReceipts(E2EEJSON::object(), E2EEJSON("anything")));
    EXPECT_NO_THROW(E2EELibrary::verifyReceipts(E2EEJSON::object({{"node:a", receipt(4, "h4")}}), current));
    EXPECT_NO_THROW(E2EELibrary::verifyReceipts(E2EEJSON::object({{"node:a", receipt(5, "h5")}}), current));

    struct Case {
        E2EEJSON stored;
        E2EEJSON current;
        E2EEError::Case expected;
        const char* label;
    };
    const std::vector<Case> refused = {
        {E2EEJSON::array(), current, E2EEError::Case::invalid, "stored not an object"},
        {E2EEJSON::object({{"node:b", receipt(1, "x")}}), current, E2EEError::Case::history, "key missing"},
        {E2EEJSON::object({{"node:a", receipt(1, "x")}}), E2EEJSON("x"), E2EEError::Case::history, "current not an object"},
        {E2EEJSON::object({{"node:a", receipt(1, "x")}}), E2EEJSON::object({{"node:a", nullptr}}), E2EEError::Case::history, "null"},
        {E2EEJSON::object({{"node:a", receipt(6, "h6")}}), current, E2EEError::Case::history, "lower generation"},
        {E2EEJSON::object({{"node:a", receipt(5, "other")}}), current, E2EEError::Case::history, "other hash"},
        {E2EEJSON::object({{"node:a", receipt(1, "x")}}), E2EEJSON::object({{"node:a", 5}}), E2EEError::Case::invalid, "not an object"},
        {E2EEJSON::object({{"node:a", receipt(1, "x")}}), E2EEJSON::object({{"node:a", E2EEJSON::object({{"generation", "5"}})}}),
         E2EEError::Case::invalid, "current generation not an integer"},
        {E2EEJSON::object({{"node:a", E2EEJSON::object()}}), current, E2EEError::Case::invalid, "empty stored receipt"},
        {E2EEJSON::object({{"node:a", E2EEJSON::object({{"generation", -1}})}}), current, E2EEError::Case::invalid, "stored generation"},
    };
    for (const auto& c : refused) {
        testing::expectE2EEError(c.expected, [&] { E2EELibrary::verifyReceipts(c.stored, c.current); }, c.label);
    }
}

TEST(encryption_LibraryItems, RemoteItemOfFoldersAndFiles) {
    const E2EEJSON folderItem = E2EEJSON::object({{"nodeId", "d1"}, {"parentId", "root"}, {"kind", "folder"},
                                                  {"name", "Docs"}, {"path", "/Docs"}, {"generation", 3}});
    const RemoteItem folder = E2EELibrary::remoteItem(folderItem, "acct_1");
    EXPECT_EQ(folder.id, "e2ee:acct_1:d1");
    EXPECT_EQ(folder.parentID, "root");
    EXPECT_TRUE(folder.isDirectory);
    EXPECT_EQ(folder.size, 0);
    EXPECT_EQ(folder.modifiedAt.unixSeconds(), 0.0);
    EXPECT_FALSE(folder.contentType.has_value());
    EXPECT_EQ(folder.etag, E2EECrypto::sha256Base64URL(bytesOf("[null,3,null]")));

    const E2EEJSON fileItem = E2EEJSON::object({
        {"nodeId", "f1"}, {"parentId", "d1"}, {"kind", "file"}, {"name", "a.txt"}, {"path", "/Docs/a.txt"},
        {"generation", 2}, {"size", 12}, {"mime", "text/plain"}, {"modified", 1500},
        {"entry", E2EEJSON::object({{"revisionId", "r1"}})}, {"thumbnailEntry", E2EEJSON::object({{"revisionId", "t1"}})},
    });
    const RemoteItem file = E2EELibrary::remoteItem(fileItem, "acct_1");
    EXPECT_EQ(file.parentID, "e2ee:acct_1:d1");
    EXPECT_FALSE(file.isDirectory);
    EXPECT_EQ(file.size, 12);
    EXPECT_EQ(file.modifiedAt.unixSeconds(), 1.5);
    EXPECT_EQ(file.contentType, std::optional<std::string>("text/plain"));
    EXPECT_EQ(file.path, "/Docs/a.txt");
    EXPECT_EQ(file.etag, E2EECrypto::sha256Base64URL(bytesOf(R"(["r1",2,"t1"])")));

    auto with = [&](const char* name, const E2EEJSON& value) {
        E2EEJSON copy = fileItem;
        copy.setMember(value, name);
        return copy;
    };
    for (const auto& bad : {E2EEJSON::object(), with("nodeId", 1), with("parentId", nullptr), with("path", nullptr),
                            with("name", 3), with("size", -1), with("size", "12"), with("modified", "1500"),
                            with("mime", 7), with("generation", -1)}) {
        expectInvalid([&] { E2EELibrary::remoteItem(bad, "acct_1"); });
    }
}

}  // namespace
}  // namespace nimbuscrate
