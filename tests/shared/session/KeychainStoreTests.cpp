#include "shared/session/KeychainStore.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "tests/support/TemporaryDirectory.h"

namespace nimbuscrate {
namespace {

using testing::TemporaryDirectory;

// A backend that answers scripted statuses first, then behaves like a real
// store over one in-memory item. It logs every call as "<name>.<operation>".
class ScriptedBackend final : public SecretBackend {
public:
    ScriptedBackend(std::string name, std::vector<std::string>& log) : name_(std::move(name)), log_(log) {}

    std::optional<Bytes> item;
    std::map<std::string, std::deque<SecretStatus>> script;  // operation -> statuses to answer first
    bool copyWithoutData = false;                           // status 0 but no byte blob

    SecretCopyResult copy(const SecretItemKey&) override {
        if (auto status = scripted("copy")) return {*status, std::nullopt};
        if (!item) return {kSecretItemNotFound, std::nullopt};
        if (copyWithoutData) return {kSecretSuccess, std::nullopt};
        return {kSecretSuccess, item};
    }
    SecretStatus update(const SecretItemKey&, const Bytes& data) override {
        if (auto status = scripted("update")) return *status;
        if (!item) return kSecretItemNotFound;
        item = data;
        return kSecretSuccess;
    }
    SecretStatus add(const SecretItemKey&, const Bytes& data) override {
        if (auto status = scripted("add")) return *status;
        if (item) return kSecretDuplicateItem;
        item = data;
        return kSecretSuccess;
    }
    SecretStatus remove(const SecretItemKey&) override {
        if (auto status = scripted("remove")) return *status;
        if (!item) return kSecretItemNotFound;
        item.reset();
        return kSecretSuccess;
    }

private:
    std::optional<SecretStatus> scripted(const std::string& operation) {
        log_.push_back(name_ + "." + operation);
        auto& queue = script[operation];
        if (queue.empty()) return std::nullopt;
        const SecretStatus status = queue.front();
        queue.pop_front();
        return status;
    }

    std::string name_;
    std::vector<std::string>& log_;
};

struct Fixture {
    TemporaryDirectory locks;
    std::vector<std::string> log;
    std::shared_ptr<ScriptedBackend> dataProtection = std::make_shared<ScriptedBackend>("dp", log);
    std::shared_ptr<ScriptedBackend> legacy = std::make_shared<ScriptedBackend>("legacy", log);

    KeychainStore store(std::string service = KeychainStore::kSessionService, std::string account = "default") {
        return KeychainStore(std::move(service), std::move(account),
                             KeychainBackends{dataProtection, legacy, std::make_shared<FileSecretStore>(locks.path())});
    }
};

// The status a call threw as a keychain error, 0 when it returned normally.
template <class Call>
SecretStatus statusOf(Call&& call) {
    try {
        call();
        return kSecretSuccess;
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain(), kOSStatusErrorDomain);
        return static_cast<SecretStatus>(error.code());
    }
}

TEST(KeychainStore, ReadStatusPaths) {
    struct Case {
        const char* name;
        std::optional<std::string> dpItem, legacyItem;
        std::deque<SecretStatus> dpCopy, legacyCopy;
        bool dpWithoutData;
        SecretStatus thrown;
        std::optional<std::string> result;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"found in data protection", "dp", "legacy", {}, {}, false, 0, "dp", {"dp.copy"}},
        {"only in legacy", std::nullopt, "legacy", {}, {}, false, 0, "legacy", {"dp.copy", "legacy.copy"}},
        {"in neither", std::nullopt, std::nullopt, {}, {}, false, 0, std::nullopt, {"dp.copy", "legacy.copy"}},
        {"no backend usable", std::nullopt, std::nullopt, {kSecretMissingEntitlement}, {kSecretMissingEntitlement},
         false, 0, std::nullopt, {"dp.copy", "legacy.copy"}},
        {"entitlement missing then legacy item", std::nullopt, "legacy", {kSecretMissingEntitlement}, {}, false, 0,
         "legacy", {"dp.copy", "legacy.copy"}},
        {"other failure stops", std::nullopt, "legacy", {kSecretIOError}, {}, false, kSecretIOError, std::nullopt,
         {"dp.copy"}},
        {"status 0 without blob", "dp", std::nullopt, {}, {}, true, kSecretDecode, std::nullopt, {"dp.copy"}},
        {"legacy failure", std::nullopt, std::nullopt, {}, {-25308}, false, -25308, std::nullopt,
         {"dp.copy", "legacy.copy"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        if (c.dpItem) f.dataProtection->item = bytesOf(*c.dpItem);
        if (c.legacyItem) f.legacy->item = bytesOf(*c.legacyItem);
        f.dataProtection->script["copy"] = c.dpCopy;
        f.legacy->script["copy"] = c.legacyCopy;
        f.dataProtection->copyWithoutData = c.dpWithoutData;
        std::optional<Bytes> result;
        EXPECT_EQ(statusOf([&] { result = f.store().read(); }), c.thrown);
        EXPECT_EQ(result, c.result ? std::optional<Bytes>(bytesOf(*c.result)) : std::nullopt);
        EXPECT_EQ(f.log, c.calls);
    }
}

TEST(KeychainStore, SaveStatusPaths) {
    struct Case {
        const char* name;
        std::optional<std::string> dpItem, legacyItem;
        std::map<std::string, std::deque<SecretStatus>> dpScript, legacyScript;
        SecretStatus thrown;
        bool inDataProtection, inLegacy;
        std::vector<std::string> calls;
    };
    const SecretStatus noEntitlement = kSecretMissingEntitlement;
    const Case cases[] = {
        {"updates data protection in place", "old", std::nullopt, {}, {}, 0, true, false, {"dp.update"}},
        {"updates legacy in place, no copy", std::nullopt, "old", {}, {}, 0, false, true,
         {"dp.update", "legacy.update"}},
        {"adds to data protection only", std::nullopt, std::nullopt, {}, {}, 0, true, false,
         {"dp.update", "legacy.update", "dp.add"}},
        {"data protection unusable: adds to legacy", std::nullopt, std::nullopt,
         {{"update", {noEntitlement}}, {"add", {noEntitlement}}}, {}, 0, false, true,
         {"dp.update", "legacy.update", "legacy.add"}},
        {"neither usable", std::nullopt, std::nullopt, {{"update", {noEntitlement}}}, {{"update", {noEntitlement}}},
         noEntitlement, false, false, {"dp.update", "legacy.update"}},
        {"legacy unusable: adds to data protection", std::nullopt, std::nullopt, {}, {{"update", {noEntitlement}}}, 0,
         true, false, {"dp.update", "legacy.update", "dp.add"}},
        {"item appeared meanwhile: add becomes update", "old", std::nullopt,
         {{"update", {kSecretItemNotFound}}, {"add", {kSecretDuplicateItem}}}, {}, 0, true, false,
         {"dp.update", "legacy.update", "dp.add", "dp.update"}},
        {"duplicate then unusable: next missing backend", std::nullopt, std::nullopt,
         {{"add", {kSecretDuplicateItem}}, {"update", {kSecretItemNotFound, noEntitlement}}}, {}, 0, false, true,
         {"dp.update", "legacy.update", "dp.add", "dp.update", "legacy.add"}},
        {"duplicate then failure", std::nullopt, std::nullopt,
         {{"add", {kSecretDuplicateItem}}, {"update", {kSecretItemNotFound, kSecretIOError}}}, {}, kSecretIOError,
         false, false, {"dp.update", "legacy.update", "dp.add", "dp.update"}},
        {"update failure stops at once", std::nullopt, "old", {{"update", {kSecretIOError}}}, {}, kSecretIOError, false,
         false, {"dp.update"}},
        {"add failure", std::nullopt, std::nullopt, {{"add", {kSecretIOError}}}, {}, kSecretIOError, false, false,
         {"dp.update", "legacy.update", "dp.add"}},
        {"every missing backend refuses the add", std::nullopt, std::nullopt, {{"add", {noEntitlement}}},
         {{"add", {noEntitlement}}}, noEntitlement, false, false,
         {"dp.update", "legacy.update", "dp.add", "legacy.add"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        if (c.dpItem) f.dataProtection->item = bytesOf(*c.dpItem);
        if (c.legacyItem) f.legacy->item = bytesOf(*c.legacyItem);
        f.dataProtection->script = c.dpScript;
        f.legacy->script = c.legacyScript;
        EXPECT_EQ(statusOf([&] { f.store().save(bytesOf("new")); }), c.thrown);
        EXPECT_EQ(f.dataProtection->item == bytesOf("new"), c.inDataProtection);
        EXPECT_EQ(f.legacy->item == bytesOf("new"), c.inLegacy);
        EXPECT_EQ(f.log, c.calls);
    }
}

TEST(KeychainStore, KeychainErrorMessages) {
    const PlatformError known = KeychainStore::keychainError(kSecretItemNotFound);
    EXPECT_EQ(known.code(), kSecretItemNotFound);
    EXPECT_EQ(known.description(), secretStatusMessage(kSecretItemNotFound));
    EXPECT_FALSE(known.description().empty());
    for (SecretStatus status : {kSecretSuccess, kSecretMissingEntitlement, kSecretDuplicateItem, kSecretDecode}) {
        EXPECT_FALSE(KeychainStore::keychainError(status).description().empty());
    }
    EXPECT_EQ(KeychainStore::keychainError(-12345).description(), "Keychain error -12345");
}

TEST(KeychainStore, LoadSession) {
    Fixture f;
    EXPECT_EQ(f.store().loadSession(), std::nullopt);
    const auto session = DesktopSession::create({"at", "rt", Date::fromReferenceSeconds(5)});
    f.store().save(bytesOf(session.toJSON()));
    EXPECT_EQ(f.store().loadSession(), session);
    f.store().save(bytesOf("{\"tokens\":{}}"));
    EXPECT_THROW(f.store().loadSession(), SessionDecodingError);
}

// Deletion, over the real file store.
struct DeletionFixture {
    TemporaryDirectory dir;
    KeychainBackends backends = KeychainBackends::inDirectory(dir / "secrets");
    KeychainStore session{KeychainStore::kSessionService, "default", backends};
    KeychainStore keysOf(const std::string& sessionID) const {
        return KeychainStore(KeychainStore::kKeysService, sessionID, backends);
    }
    KeychainStore identity{KeychainStore::kIdentityService, "account-1", backends};
};

TEST(KeychainStoreDeletion, SessionWithIdentifierTakesItsKeysFirst) {
    DeletionFixture f;
    const auto stored = DesktopSession::create({"at", "rt", Date()});
    f.session.save(bytesOf(stored.toJSON()));
    f.keysOf(*stored.sessionID).save(bytesOf("keys"));
    f.keysOf("OTHER-SESSION").save(bytesOf("other keys"));
    f.identity.save(bytesOf("identity"));

    f.session.deleteItem();
    EXPECT_FALSE(f.session.read());
    EXPECT_FALSE(f.keysOf(*stored.sessionID).read());
    EXPECT_EQ(f.keysOf("OTHER-SESSION").read(), bytesOf("other keys"));
    EXPECT_EQ(f.identity.read(), bytesOf("identity"));  // the identity survives sign-out
    f.session.deleteItem();                              // deleting twice succeeds
}

TEST(KeychainStoreDeletion, WithoutSessionOrIdentifier) {
    DeletionFixture f;
    f.session.deleteItem();  // nothing stored: succeeds
    DesktopSession noIdentifier{{"at", "rt", Date()}, std::nullopt, std::nullopt};
    f.session.save(bytesOf(noIdentifier.toJSON()));
    f.keysOf("default").save(bytesOf("unrelated"));
    f.session.deleteItem();
    EXPECT_FALSE(f.session.read());
    EXPECT_EQ(f.keysOf("default").read(), bytesOf("unrelated"));
}

TEST(KeychainStoreDeletion, KeyItemDirectlyDeletesOnlyItself) {
    DeletionFixture f;
    const auto stored = DesktopSession::create({"at", "rt", Date()});
    f.session.save(bytesOf(stored.toJSON()));
    f.keysOf(*stored.sessionID).save(bytesOf("keys"));
    f.keysOf(*stored.sessionID).deleteItem();
    EXPECT_FALSE(f.keysOf(*stored.sessionID).read());
    EXPECT_TRUE(f.session.read());
}

TEST(KeychainStoreDeletion, UnreadableSessionBlocksDeletion) {
    DeletionFixture f;
    f.session.save(bytesOf("not a session"));
    EXPECT_THROW(f.session.deleteItem(), SessionDecodingError);
    EXPECT_EQ(f.session.read(), bytesOf("not a session"));
}

TEST(KeychainStoreDeletion, StatusPaths) {
    struct Case {
        const char* name;
        std::deque<SecretStatus> dpRemove, legacyRemove;
        SecretStatus thrown;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"unusable data protection does not stop legacy", {kSecretMissingEntitlement}, {}, 0,
         {"dp.remove", "legacy.remove"}},
        {"missing in both", {}, {}, 0, {"dp.remove", "legacy.remove"}},
        {"failure stops at once", {kSecretIOError}, {}, kSecretIOError, {"dp.remove"}},
        {"legacy failure", {}, {kSecretIOError}, kSecretIOError, {"dp.remove", "legacy.remove"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        f.dataProtection->script["remove"] = c.dpRemove;
        f.legacy->script["remove"] = c.legacyRemove;
        EXPECT_EQ(statusOf([&] { f.store(KeychainStore::kKeysService, "S").deleteItem(); }), c.thrown);
        EXPECT_EQ(f.log, c.calls);
    }
    // A session whose key item cannot be deleted stays stored.
    Fixture f;
    const auto stored = DesktopSession::create({"at", "rt", Date()});
    f.dataProtection->item = bytesOf(stored.toJSON());
    f.dataProtection->script["remove"] = {kSecretIOError};
    EXPECT_EQ(statusOf([&] { f.store().deleteItem(); }), kSecretIOError);
    EXPECT_TRUE(f.dataProtection->item);
}

}  // namespace
}  // namespace nimbuscrate
