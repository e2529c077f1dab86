#include <fstream>

#include "fileprovider/FileProviderItem.h"
#include "fileprovider/ItemNameRules.h"
#include "platform/core/UrlLoadingError.h"
#include "shared/encryption/E2EEError.h"
#include "shared/session/DesktopError.h"
#include "tests/fileprovider/ExtensionTestSupport.h"

namespace nimbuscrate::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr fp::ItemFields kCreateFields = fp::ItemField::filename | fp::ItemField::contents;
constexpr fp::ItemFields kChangedFields = fp::ItemField::filename | fp::ItemField::parentItemIdentifier;

// Names no item of the drive can have, refused by create and rename alike.
const std::string kRefusedNames[] = {
    "",
    ".",
    "..",
    "a/b",
    std::string("nul\0here", 8),
    "._resource",
    "0a1b2c3d-0000-4000-8000-00000000000a-0a1b2c3d-0000-4000-8000-00000000000b.nbenc",
    "0A1B2C3D-0000-4000-8000-00000000000A-0A1B2C3D-0000-4000-8000-00000000000B.NBENC",
};

class WriteTest : public ExtensionTest {
protected:
    // A fresh fixture for the next case of a table.
    void fresh() {
        TearDown();
        SetUp();
    }

    // What a failed write must look like: one completion with the mapped
    // error and the fields still pending, no item, the progress untouched,
    // no parent signal and no cleanup.
    void expectFailedWrite(const std::shared_ptr<fp::testing::WriteCall>& call, fp::ItemFields fields,
                           const std::string& domain, long code) {
        expectDrained();
        ASSERT_EQ(call->count(), 1u);
        auto [item, pending, refetch, error] = call->first();
        EXPECT_FALSE(item);
        EXPECT_EQ(pending, fields);
        EXPECT_FALSE(refetch);
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->is(domain, code)) << error->domain << " " << error->code << ": "
                                             << error->localizedDescription();
        EXPECT_EQ(call->progress->completedUnitCount(), 0);
        EXPECT_THAT(harness().manager().signalled(), IsEmpty());
        EXPECT_EQ(extension().runningCleanups(), 0u);
    }

    // A write refused for its name: not synchronisable (-2005, which the
    // system does not retry) with the rule's message, and nothing else done.
    void expectRefusedName(const std::shared_ptr<fp::testing::WriteCall>& call, fp::ItemFields fields,
                           const std::string& name) {
        expectFailedWrite(call, fields, fp::kFileProviderErrorDomain, -2005);
        if (call->count() != 1u) return;
        auto error = std::get<3>(call->first());
        ASSERT_TRUE(error && error->userInfo);
        std::string rule;
        try {
            checkItemName(name);
        } catch (const InvalidItemNameError& refused) {
            rule = refused.what();
        }
        EXPECT_FALSE(rule.empty());
        EXPECT_EQ(error->userInfo->description, rule);
        EXPECT_FALSE(error->userInfo->underlying);
    }

    // The item of a successful write.
    fp::ItemPtr expectWritten(const std::shared_ptr<fp::testing::WriteCall>& call) {
        expectDrained();
        if (call->count() != 1u) {
            ADD_FAILURE() << "completions: " << call->count();
            return nullptr;
        }
        auto [item, pending, refetch, error] = call->first();
        EXPECT_FALSE(error) << error->localizedDescription();
        EXPECT_EQ(pending, 0u);
        EXPECT_FALSE(refetch);
        EXPECT_EQ(call->progress->completedUnitCount(), 100);
        return item;
    }
};

using CreateTest = WriteTest;
using ModifyTest = WriteTest;
using DeleteTest = WriteTest;

TemplateSpec folderTemplate(const std::string& name, const fp::ItemId& parent = fp::kRootContainer) {
    TemplateSpec spec;
    spec.filename = name;
    spec.parent = parent;
    spec.contentType = fp::ContentType::folder();
    return spec;
}

TemplateSpec fileTemplate(const std::string& name, const fp::ItemId& parent = fp::kRootContainer) {
    TemplateSpec spec;
    spec.filename = name;
    spec.parent = parent;
    return spec;
}

// ---- Create

TEST_F(CreateTest, AFolderInTheRootIsMadeFetchedStoredAndItsParentSignalled) {
    auto call = harness().create(makeTemplate(folderTemplate("New Folder")), kCreateFields);
    auto item = expectWritten(call);
    ASSERT_TRUE(item);
    EXPECT_THAT(server_->calls(), ElementsAre("createFolder /New Folder", "fetchItem /New Folder"));
    EXPECT_EQ(item->filename(), "New Folder");
    EXPECT_EQ(item->parentItemIdentifier(), fp::kRootContainer);
    EXPECT_TRUE(item->isFolder());
    auto stored = mapping_->item(item->itemIdentifier());
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->parentID, "root");
    EXPECT_THAT(harness().manager().signalled(), ElementsAre(fp::kRootContainer));
    EXPECT_EQ(extension().runningCleanups(), 0u);  // folders are never evicted
}

TEST_F(CreateTest, AnEmptyFileIsAnEmptyPutThenAFetchAndGetsACleanup) {
    store(folderItem("d1", "root", "/Docs"));
    auto call = harness().create(makeTemplate(fileTemplate("empty.txt", "d1")), kCreateFields);
    auto item = expectWritten(call);
    ASSERT_TRUE(item);
    EXPECT_THAT(server_->calls(), ElementsAre("createEmptyFile /Docs/empty.txt", "fetchItem /Docs/empty.txt"));
    EXPECT_EQ(item->parentItemIdentifier(), "d1");
    EXPECT_THAT(harness().manager().signalled(), ElementsAre("d1"));
    EXPECT_EQ(extension().runningCleanups(), 1u);
}

TEST_F(CreateTest, AFileWithContentsIsUploadedAsNewWithItsModificationTime) {
    const Date modified = Date::fromUnixSeconds(1'650'000'000);
    TemplateSpec spec = fileTemplate("a.txt");
    spec.modified = std::optional<Date>(modified);
    auto call = harness().create(makeTemplate(spec), kCreateFields, localFile("a.txt"));
    auto item = expectWritten(call);
    ASSERT_TRUE(item);
    EXPECT_THAT(server_->calls(), ElementsAre("uploadFile /a.txt", "fetchItem /a.txt"));
    auto uploads = server_->uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].mode, FileServer::UploadMode::createOnly);
    EXPECT_EQ(uploads[0].modified, modified);
    EXPECT_EQ(extension().runningCleanups(), 1u);
}

TEST_F(CreateTest, ATemplateWithoutAContentTypeIsAFile) {
    TemplateSpec spec = fileTemplate("untyped");
    spec.contentType.reset();
    expectWritten(harness().create(makeTemplate(spec), kCreateFields));
    EXPECT_THAT(server_->calls(), ElementsAre("createEmptyFile /untyped", "fetchItem /untyped"));
}

TEST_F(CreateTest, AFailureAtAnyStepEndsWithTheMappedErrorAndNothingAfterIt) {
    struct Case {
        const char* name;
        std::function<void(WriteTest&)> inject;
        fp::ItemId parent;
        std::vector<std::string> calls;
        std::string domain;
        long code;
    };
    const std::vector<Case> cases = {
        {"parent not stored", [](WriteTest&) {}, "gone", {}, fp::kFileProviderErrorDomain, -1005},
        {"policy check fails",
         [](WriteTest& t) { t.encryption_->failPolicyWith(std::make_exception_ptr(E2EEError::setup())); }, "d1", {},
         fp::kFileProviderErrorDomain, -2005},
        {"policy service unreachable",
         [](WriteTest& t) {
             t.encryption_->failPolicyWith(std::make_exception_ptr(DesktopError::encryptionPolicyUnavailable()));
         },
         "d1", {}, fp::kFileProviderErrorDomain, -1004},
        {"upload fails",
         [](WriteTest& t) {
             t.server_->failAt("uploadFile", 1, std::make_exception_ptr(DesktopError::server(507, "full")));
         },
         "d1", {"uploadFile /Docs/a.txt"}, fp::kFileProviderErrorDomain, -1004},
        {"fetch fails",
         [](WriteTest& t) {
             t.server_->failAt("fetchItem", 1, std::make_exception_ptr(DesktopError::invalidResponse()));
         },
         "d1", {"uploadFile /Docs/a.txt", "fetchItem /Docs/a.txt"}, fp::kCocoaErrorDomain, 4101},
        {"store fails", [](WriteTest& t) { t.mapping_ = MappingStore::unavailable(); }, fp::kRootContainer,
         {"uploadFile /a.txt", "fetchItem /a.txt"}, fp::kCocoaErrorDomain, 4101},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        store(folderItem("d1", "root", "/Docs"));
        c.inject(*this);
        auto call = harness().create(makeTemplate(fileTemplate("a.txt", c.parent)), kCreateFields,
                                     localFile("a.txt"));
        expectFailedWrite(call, kCreateFields, c.domain, c.code);
        EXPECT_EQ(server_->calls(), c.calls);
    }
}

TEST_F(CreateTest, AFolderOrEmptyFileWriteRefusedForAnotherReasonIsNoCollision) {
    struct Case {
        const char* name;
        TemplateSpec spec;
        std::string operation;
        std::exception_ptr failure;
        std::string domain;
        long code;
    };
    const Case cases[] = {
        {"MKCOL in an outage", folderTemplate("New"), "createFolder",
         std::make_exception_ptr(DesktopError::server(503, "")), fp::kFileProviderErrorDomain, -1004},
        {"MKCOL refused with 409 (no parent on the server)", folderTemplate("New"), "createFolder",
         std::make_exception_ptr(DesktopError::server(409, "Conflict")), fp::kCocoaErrorDomain, 4101},
        {"empty PUT refused with 403", fileTemplate("New"), "createEmptyFile",
         std::make_exception_ptr(DesktopError::server(403, "Forbidden")), fp::kCocoaErrorDomain, 4101},
        {"empty PUT timed out", fileTemplate("New"), "createEmptyFile",
         std::make_exception_ptr(UrlLoadingError(28, "The request timed out.")), fp::kFileProviderErrorDomain,
         -1004},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        server_->failAt(c.operation, 1, c.failure);
        auto call = harness().create(makeTemplate(c.spec), kCreateFields);
        expectFailedWrite(call, kCreateFields, c.domain, c.code);
        EXPECT_THAT(server_->calls(), ElementsAre(c.operation + " /New"));  // no fetch after the failure
        auto error = std::get<3>(call->first());
        if (c.domain == fp::kCocoaErrorDomain) {
            // The server's own answer is carried, not turned into a collision.
            ASSERT_TRUE(error->userInfo);
            EXPECT_EQ(error->userInfo->underlying, c.failure);
        }
    }
}

TEST_F(CreateTest, ANameTheServerAlreadyHoldsIsACollisionAndNothingIsOverwritten) {
    struct Case {
        const char* name;
        TemplateSpec spec;
        bool withContents;
        bool folderThere;
        std::string call;
    };
    const Case cases[] = {
        {"folder over a file (MKCOL refused with 405)", folderTemplate("taken"), false, false, "createFolder /taken"},
        {"empty file over a file (PUT refused with 412)", fileTemplate("taken"), false, false,
         "createEmptyFile /taken"},
        {"file over a file (PUT refused with 412)", fileTemplate("taken"), true, false, "uploadFile /taken"},
        {"file over a folder (PUT refused with 405)", fileTemplate("taken"), true, true, "uploadFile /taken"},
        {"empty file over a folder (PUT refused with 405)", fileTemplate("taken"), false, true,
         "createEmptyFile /taken"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        RemoteItem existing = c.folderThere ? folderItem("theirs", "root", "/taken") : fileItem("theirs", "root", "/taken");
        server_->putItem(existing);
        std::optional<std::filesystem::path> contents;
        if (c.withContents) contents = localFile("taken", "mine");
        auto call = harness().create(makeTemplate(c.spec), kCreateFields, contents);
        expectFailedWrite(call, kCreateFields, fp::kFileProviderErrorDomain, -1001);
        EXPECT_THAT(std::get<3>(call->first())->localizedDescription(), HasSubstr("\"taken\" already exists"));
        EXPECT_THAT(server_->calls(), ElementsAre(c.call));  // no fetch after the refusal
        EXPECT_TRUE(server_->uploads().empty());
        if (contents) {
            EXPECT_TRUE(std::filesystem::exists(*contents));  // the local copy stays
        }
        EXPECT_FALSE(mapping_->item("theirs"));
    }
}

TEST_F(CreateTest, NamesTheDriveCannotHoldAreRefusedBeforeAnyRequest) {
    for (const auto& name : kRefusedNames) {
        SCOPED_TRACE(name);
        fresh();
        for (const auto& spec : {fileTemplate(name), folderTemplate(name)}) {
            auto call = harness().create(makeTemplate(spec), kCreateFields);
            expectRefusedName(call, kCreateFields, name);
        }
        EXPECT_THAT(server_->calls(), IsEmpty());
        EXPECT_EQ(encryption_->log().count("isEncryptionRequired"), 0u);
    }
}

TEST_F(CreateTest, OrdinaryNamesPassTheNameCheck) {
    for (const char* name : {"a", "...", ".hidden", "a.b.c", "caf\u00e9 \u2603", "x._y", "a..b"}) {
        EXPECT_NO_THROW(checkItemName(name)) << name;
    }
}

TEST_F(CreateTest, WhenEncryptionIsRequiredTheItemIsCreatedThroughTheEncryptionClientAsOneCountedUpload) {
    store(folderItem("d1", "root", "/Docs"));
    encryption_->setRequired(true);
    const Date modified = Date::fromUnixSeconds(1'650'000'000);
    TemplateSpec spec = fileTemplate("secret.txt", "d1");
    spec.modified = std::optional<Date>(modified);
    auto contents = localFile("secret.txt");
    auto item = expectWritten(harness().create(makeTemplate(spec), kCreateFields, contents));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->itemIdentifier(), "e2ee:acct:secret.txt");
    auto changes = encryption_->changes();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].parentID, "d1");  // the client decides whether a plain parent is acceptable
    EXPECT_FALSE(changes[0].isDirectory);
    EXPECT_EQ(changes[0].contents, contents);
    EXPECT_EQ(changes[0].modified, modified);
    EXPECT_EQ(changes[0].uploadsInFlight, 1u);
    EXPECT_EQ(uploads_->activeOperations(), 0u);
    EXPECT_THAT(server_->calls(), IsEmpty());
    EXPECT_THAT(harness().manager().signalled(), ElementsAre("d1"));
    EXPECT_EQ(extension().runningCleanups(), 1u);
}

TEST_F(CreateTest, AFailedEncryptedCreateStillFinishesItsUpload) {
    encryption_->setRequired(true);
    encryption_->failChangesWith(std::make_exception_ptr(E2EEError::locked()));
    auto call = harness().create(makeTemplate(folderTemplate("Vault")), kCreateFields);
    expectFailedWrite(call, kCreateFields, fp::kFileProviderErrorDomain, -1000);
    EXPECT_EQ(encryption_->changes().at(0).uploadsInFlight, 1u);
    EXPECT_EQ(uploads_->activeOperations(), 0u);
}

TEST_F(CreateTest, APlainItemIsNeverCreatedInsideAnEncryptedFolder) {
    RemoteItem vault = folderItem("e2ee:acct:vault", "root", "/Vault");
    store(vault);
    auto call = harness().create(makeTemplate(fileTemplate("a.txt", vault.id)), kCreateFields, localFile("a.txt"));
    expectFailedWrite(call, kCreateFields, fp::kFileProviderErrorDomain, -2005);
    EXPECT_THAT(server_->calls(), IsEmpty());
}

TEST_F(CreateTest, TheModificationTimeComesFromTheTemplateThenTheFileThenTheCreationDate) {
    const Date templateDate = Date::fromUnixSeconds(1'500'000'000);
    const Date creation = Date::fromUnixSeconds(1'400'000'000);
    const Date fileDate = Date::fromUnixSeconds(1'300'000'000);
    auto contents = localFile("dated.txt");
    std::filesystem::last_write_time(
        contents, std::chrono::file_clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(1'300'000'000))));
    struct Case {
        const char* name;
        fp::Provided<Date> modified;
        fp::Provided<Date> created;
        bool withContents;
        std::optional<Date> expected;
    };
    const Case cases[] = {
        {"template date", std::optional<Date>(templateDate), std::optional<Date>(creation), true, templateDate},
        {"template date provided empty", std::optional<Date>(), std::optional<Date>(creation), true, std::nullopt},
        {"file date", std::nullopt, std::optional<Date>(creation), true, fileDate},
        {"creation date", std::nullopt, std::optional<Date>(creation), false, creation},
        {"creation date provided empty", std::nullopt, std::optional<Date>(), false, std::nullopt},
        {"nothing", std::nullopt, std::nullopt, false, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TemplateSpec spec;
        spec.modified = c.modified;
        spec.created = c.created;
        auto result = FileProviderExtension::templateAttributes(
            *makeTemplate(spec), c.withContents ? std::optional(contents) : std::nullopt);
        EXPECT_EQ(result, c.expected);
    }
}

TEST_F(CreateTest, AnEmptyTemplateDateSendsNoModificationTimeEvenWhenTheFileHasOne) {
    TemplateSpec spec = fileTemplate("a.txt");
    spec.modified = std::optional<Date>();
    expectWritten(harness().create(makeTemplate(spec), kCreateFields, localFile("a.txt")));
    ASSERT_EQ(server_->uploads().size(), 1u);
    EXPECT_FALSE(server_->uploads()[0].modified.has_value());
}

// ---- Modify

TEST_F(ModifyTest, NothingChangedCompletesWithTheStoredItemWithoutARequestAndSignalsTheParentTwice) {
    RemoteItem stored = fileItem("f1", "d1", "/Docs/a.txt");
    store(folderItem("d1", "root", "/Docs"));
    store(stored);
    auto item = expectWritten(harness().modify(systemItem(stored), fileProviderItemVersion(stored), 0));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->itemVersion(), fileProviderItemVersion(stored));
    EXPECT_THAT(server_->calls(), IsEmpty());
    EXPECT_THAT(harness().manager().signalled(), ElementsAre("d1", "d1"));
    EXPECT_EQ(extension().runningCleanups(), 0u);
}

TEST_F(ModifyTest, NewContentsAloneAreUploadedToTheStoredPath) {
    RemoteItem stored = fileItem("f1", "root", "/a.txt");
    store(stored);
    server_->putItem(stored);
    auto item = expectWritten(
        harness().modify(systemItem(stored), fileProviderItemVersion(stored), fp::ItemField::contents,
                         localFile("a.txt", "new contents")));
    EXPECT_THAT(server_->calls(), ElementsAre("uploadFile /a.txt"));
    EXPECT_EQ(server_->uploads().at(0).mode, FileServer::UploadMode::replace);
    EXPECT_EQ(extension().runningCleanups(), 1u);
    EXPECT_THAT(harness().manager().signalled(), ElementsAre(fp::kRootContainer, fp::kRootContainer));
}

TEST_F(ModifyTest, ARenameWithNewContentsMovesFirstThenUploadsToTheNewPath) {
    RemoteItem stored = fileItem("f1", "root", "/a.txt");
    store(stored);
    server_->putItem(stored);
    auto item = expectWritten(harness().modify(systemItem(stored, "b.txt"), fileProviderItemVersion(stored),
                                               kChangedFields, localFile("b.txt")));
    ASSERT_TRUE(item);
    EXPECT_THAT(server_->calls(), ElementsAre("moveItem /a.txt -> /b.txt", "uploadFile /b.txt"));
    // The upload's result is handed back (its etag is the newest).
    EXPECT_EQ(item->filename(), "b.txt");
    EXPECT_EQ(static_cast<const FileProviderItem&>(*item).remote().etag, "etag-2");
    EXPECT_EQ(extension().runningCleanups(), 1u);
}

TEST_F(ModifyTest, AChangeOfLetterCaseIsARename) {
    RemoteItem stored = fileItem("f1", "root", "/Report.txt");
    store(stored);
    server_->putItem(stored);
    expectWritten(harness().modify(systemItem(stored, "report.txt"), fileProviderItemVersion(stored), kChangedFields));
    EXPECT_THAT(server_->calls(), ElementsAre("moveItem /Report.txt -> /report.txt"));
    EXPECT_EQ(extension().runningCleanups(), 0u);
}

TEST_F(ModifyTest, AMoveSignalsTheOldParentThenTheNewOne) {
    store(folderItem("d1", "root", "/A"));
    store(folderItem("d2", "root", "/B"));
    RemoteItem stored = fileItem("f1", "d1", "/A/x.txt");
    store(stored);
    server_->putItem(stored);
    auto item = expectWritten(
        harness().modify(systemItem(stored, std::nullopt, "d2"), fileProviderItemVersion(stored), kChangedFields));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->parentItemIdentifier(), "d2");
    EXPECT_THAT(server_->calls(), ElementsAre("moveItem /A/x.txt -> /B/x.txt"));
    EXPECT_THAT(harness().manager().signalled(), ElementsAre("d1", "d2"));
}

TEST_F(ModifyTest, AFailureAtAnyStepEndsWithTheMappedErrorAndNothingAfterIt) {
    struct Case {
        const char* name;
        std::function<void(WriteTest&)> inject;
        std::string identifier;
        std::optional<std::string> newName;
        std::optional<fp::ItemId> newParent;
        std::vector<std::string> calls;
        std::string domain;
        long code;
    };
    const std::vector<Case> cases = {
        {"stored item gone", [](WriteTest&) {}, "gone", "b.txt", std::nullopt, {}, fp::kFileProviderErrorDomain,
         -1005},
        {"new parent not stored", [](WriteTest&) {}, "f1", std::nullopt, "gone-folder", {},
         fp::kFileProviderErrorDomain, -1005},
        {"new parent is a file", [](WriteTest& t) { t.store(fileItem("f2", "root", "/other.txt")); }, "f1",
         std::nullopt, "f2", {}, fp::kFileProviderErrorDomain, -1005},
        {"move refused (target exists)",
         [](WriteTest& t) { t.server_->putItem(fileItem("other", "root", "/b.txt")); }, "f1", "b.txt", std::nullopt,
         {"moveItem /a.txt -> /b.txt"}, fp::kCocoaErrorDomain, 4101},
        {"upload after the move fails",
         [](WriteTest& t) {
             t.server_->failAt("uploadFile", 1, std::make_exception_ptr(DesktopError::server(503, "")));
         },
         "f1", "b.txt", std::nullopt, {"moveItem /a.txt -> /b.txt", "uploadFile /b.txt"},
         fp::kFileProviderErrorDomain, -1004},
        {"upload in place fails",
         [](WriteTest& t) {
             t.server_->failAt("uploadFile", 1, std::make_exception_ptr(DesktopError::notAuthenticated()));
         },
         "f1", std::nullopt, std::nullopt, {"uploadFile /a.txt"}, fp::kFileProviderErrorDomain, -1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        RemoteItem stored = fileItem("f1", "root", "/a.txt");
        store(stored);
        server_->putItem(stored);
        c.inject(*this);
        RemoteItem asSeen = stored;
        asSeen.id = c.identifier;
        auto call = harness().modify(systemItem(asSeen, c.newName, c.newParent), fileProviderItemVersion(stored),
                                     kChangedFields, localFile("a.txt"));
        expectFailedWrite(call, kChangedFields, c.domain, c.code);
        EXPECT_EQ(server_->calls(), c.calls);
    }
}

TEST_F(ModifyTest, RenamesToNamesTheDriveCannotHoldAreRefusedBeforeAnyRequest) {
    const RemoteItem plain = fileItem("f1", "root", "/a.txt");
    const RemoteItem encrypted = fileItem("e2ee:acct:n1", "root", "/secret.txt");
    for (const auto& name : kRefusedNames) {
        SCOPED_TRACE(name);
        fresh();
        store(plain);
        store(encrypted);
        server_->putItem(plain);
        for (const auto& stored : {plain, encrypted}) {
            auto call = harness().modify(systemItem(stored, name), fileProviderItemVersion(stored), kChangedFields);
            expectRefusedName(call, kChangedFields, name);
        }
        EXPECT_THAT(server_->calls(), IsEmpty());
        EXPECT_TRUE(encryption_->changes().empty());
    }
}

TEST_F(ModifyTest, AFailedEncryptedModifyStillFinishesItsUpload) {
    RemoteItem stored = fileItem("e2ee:acct:n1", "root", "/secret.txt");
    store(stored);
    encryption_->failChangesWith(std::make_exception_ptr(E2EEError::conflict()));
    auto call = harness().modify(systemItem(stored, "renamed.txt"), fileProviderItemVersion(stored), kChangedFields,
                                 localFile("renamed.txt"));
    expectFailedWrite(call, kChangedFields, fp::kFileProviderErrorDomain, -2005);
    EXPECT_EQ(encryption_->changes().at(0).uploadsInFlight, 1u);
    EXPECT_EQ(uploads_->activeOperations(), 0u);
    EXPECT_THAT(server_->calls(), IsEmpty());
}

TEST_F(ModifyTest, AnEncryptedItemGoesToTheEncryptionClientWithWhetherTheBaseVersionMatches) {
    RemoteItem stored = fileItem("e2ee:acct:n1", "root", "/secret.txt");
    store(stored);
    struct Case {
        const char* name;
        fp::ItemVersion base;
        bool matches;
    };
    const Case cases[] = {
        {"same version", fileProviderItemVersion(stored), true},
        {"older version", fp::ItemVersion{bytesOf("old"), fileProviderItemVersion(stored).metadata}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto item = expectWritten(harness().modify(systemItem(stored, "renamed.txt"), c.base, kChangedFields));
        ASSERT_TRUE(item);
        EXPECT_EQ(item->filename(), "renamed.txt");
        auto change = encryption_->changes().back();
        EXPECT_EQ(change.operation, "modify");
        EXPECT_EQ(change.baseVersionMatches, c.matches);
        EXPECT_EQ(change.uploadsInFlight, 1u);  // a pure rename is counted too
    }
    EXPECT_EQ(uploads_->activeOperations(), 0u);
    EXPECT_THAT(server_->calls(), IsEmpty());
}

// ---- Delete

TEST_F(DeleteTest, APlainItemIsDeletedWhateverTheBaseVersionAndItsParentSignalled) {
    store(folderItem("d1", "root", "/Docs"));
    RemoteItem stored = fileItem("f1", "d1", "/Docs/a.txt");
    store(stored);
    auto call = harness().remove("f1", fp::ItemVersion{bytesOf("stale"), bytesOf("stale")});
    expectDrained();
    EXPECT_FALSE(std::get<0>(call->first()));
    EXPECT_EQ(call->progress->totalUnitCount(), 1);
    EXPECT_EQ(call->progress->completedUnitCount(), 1);
    EXPECT_THAT(server_->calls(), ElementsAre("deleteItem f1"));
    EXPECT_THAT(harness().manager().signalled(), ElementsAre("d1"));
}

TEST_F(DeleteTest, FailuresEndWithTheMappedErrorWithoutASignal) {
    RemoteItem encrypted = fileItem("e2ee:acct:n1", "root", "/secret.txt");
    RemoteItem plain = fileItem("f1", "root", "/a.txt");
    struct Case {
        const char* name;
        fp::ItemId identifier;
        fp::ItemVersion base;
        bool deleteFails;
        std::vector<std::string> calls;
        std::string domain;
        long code;
    };
    const Case cases[] = {
        {"not stored", "gone", {}, false, {}, fp::kFileProviderErrorDomain, -1005},
        {"encrypted item changed since the system saw it", encrypted.id,
         fp::ItemVersion{bytesOf("old"), bytesOf("old")}, false, {}, fp::kFileProviderErrorDomain, -2005},
        {"server refuses", plain.id, {}, true, {"deleteItem f1"}, fp::kFileProviderErrorDomain, -1004},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        store(encrypted);
        store(plain);
        if (c.deleteFails) {
            server_->failAt("deleteItem", 1, std::make_exception_ptr(DesktopError::server(503, "")));
        }
        auto call = harness().remove(c.identifier, c.base);
        expectDrained();
        auto error = std::get<0>(call->first());
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->is(c.domain, c.code)) << error->code;
        EXPECT_EQ(call->progress->completedUnitCount(), 0);
        EXPECT_EQ(server_->calls(), c.calls);
        EXPECT_THAT(harness().manager().signalled(), IsEmpty());
    }
}

TEST_F(DeleteTest, AnEncryptedItemInTheVersionTheSystemSawIsDeleted) {
    RemoteItem encrypted = fileItem("e2ee:acct:n1", "root", "/secret.txt");
    store(encrypted);
    auto call = harness().remove(encrypted.id, fileProviderItemVersion(encrypted));
    expectDrained();
    EXPECT_FALSE(std::get<0>(call->first()));
    EXPECT_THAT(server_->calls(), ElementsAre("deleteItem e2ee:acct:n1"));
    EXPECT_THAT(harness().manager().signalled(), ElementsAre(fp::kRootContainer));
}

}  // namespace
}  // namespace nimbuscrate::testing

namespace nimbuscrate::testing {
namespace {

// The system cancels a running request through its progress: the transfer
// under way stops, and the entry answers once, as cancelled.
TEST_F(WriteTest, CancellingTheProgressStopsTheTransferOfEveryEntry) {
    struct Started {
        fp::ProgressPtr progress;
        std::function<std::optional<fp::Error>()> error;
    };
    struct Case {
        std::string entry;
        std::string held;  // the server call that is held open
        std::function<Started(WriteTest&)> start;
    };
    const std::vector<Case> cases = {
        {"fetchContents", "downloadFile",
         [](WriteTest& test) {
             auto call = test.harness().fetchContents("f1");
             return Started{call->progress, [call] { return std::get<2>(call->first()); }};
         }},
        {"create", "uploadFile",
         [](WriteTest& test) {
             auto call = test.harness().create(makeTemplate(fileTemplate("new.txt")), kCreateFields,
                                               test.localFile("new.txt"));
             return Started{call->progress, [call] { return std::get<3>(call->first()); }};
         }},
        {"modify", "uploadFile",
         [](WriteTest& test) {
             auto stored = fileItem("f1", "root", "/a.txt");
             auto call = test.harness().modify(systemItem(stored), fileProviderItemVersion(stored),
                                               fp::ItemField::contents, test.localFile("a.txt", "changed"));
             return Started{call->progress, [call] { return std::get<3>(call->first()); }};
         }},
        {"remove", "deleteItem",
         [](WriteTest& test) {
             auto stored = fileItem("f1", "root", "/a.txt");
             auto call = test.harness().remove("f1", fileProviderItemVersion(stored));
             return Started{call->progress, [call] { return std::get<0>(call->first()); }};
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry);
        fresh();
        store(fileItem("f1", "root", "/a.txt"));
        server_->putItem(fileItem("f1", "root", "/a.txt"));
        auto gate = std::make_shared<fp::testing::Gate>();
        server_->holdAt(c.held, gate);
        auto started = c.start(*this);
        ASSERT_TRUE(gate->waitForArrivals(1));
        started.progress->cancel();
        expectDrained();  // the held call ended without the gate opening
        auto error = started.error();
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->is(fp::kCocoaErrorDomain, 3072)) << error->domain << " " << error->code;
        EXPECT_EQ(gate->waiting(), 0u);
    }
}

}  // namespace
}  // namespace nimbuscrate::testing
