#include "platform/fileprovider/testing/ExtensionHarness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace nimbuscrate::fp::testing {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// How the toy extension misbehaves in one entry.
enum class Fault { none, doubleCompletion, missingFinish, lateCall };

ItemPtr toyItem(const ItemId& id) {
    ItemProperties properties;
    properties.identifier = id;
    properties.parent = kRootContainer;
    properties.filename = id + ".txt";
    properties.contentType = ContentType::data();
    return ItemSnapshot::make(properties);
}

// A tiny extension whose every entry answers from a pool task, correctly or
// with the fault it was given for that entry. A late call is kept until the
// test fires it.
class ToyExtension final : public ReplicatedExtension, public std::enable_shared_from_this<ToyExtension> {
public:
    ToyExtension(ExtensionEnvironment environment, std::map<std::string, Fault> faults)
        : environment_(std::move(environment)), faults_(std::move(faults)) {}

    void fireLate() {
        std::vector<std::function<void()>> late;
        {
            std::lock_guard lock(mutex_);
            late.swap(late_);
        }
        for (auto& call : late) call();
    }

    void invalidate() override {}

    ProgressPtr item(const ItemId& identifier, ItemCompletion done) override {
        auto progress = Progress::make(1);
        answer("item", [done, identifier] { done(toyItem(identifier), std::nullopt); });
        return progress;
    }

    EnumeratorPtr enumerator(const ItemId& container, std::optional<Error>& error) override {
        if (container != kRootContainer) {
            error = Error::fileProvider(FileProviderErrorCode::noSuchItem);
            return nullptr;
        }
        return std::make_shared<ToyEnumerator>(shared_from_this());
    }

    ProgressPtr fetchContents(const ItemId& identifier, std::optional<ItemVersion>, ContentsCompletion done) override {
        answer("fetchContents", [done, identifier] { done(std::filesystem::path("/tmp") / identifier, toyItem(identifier), std::nullopt); });
        return Progress::make(100);
    }

    // Replaces how thumbnail requests are answered (from a pool task).
    using ThumbnailReply = std::function<void(const std::vector<ItemId>&, const PerThumbnail&, const Completion&)>;
    void setThumbnailReply(ThumbnailReply reply) { thumbnailReply_ = std::move(reply); }

    ProgressPtr fetchThumbnails(std::vector<ItemId> identifiers, ThumbnailSize, PerThumbnail perItem,
                                Completion done) override {
        answer("fetchThumbnails", [identifiers, perItem, done, reply = thumbnailReply_] {
            if (reply) return reply(identifiers, perItem, done);
            for (const auto& id : identifiers) perItem(id, Bytes{1, 2, 3}, std::nullopt);
            done(std::nullopt);
        });
        return Progress::make(static_cast<std::int64_t>(identifiers.size()));
    }

    ProgressPtr create(ItemPtr itemTemplate, ItemFields, std::optional<std::filesystem::path>,
                       WriteCompletion done) override {
        answer("create", [itemTemplate, done] { done(itemTemplate, 0, false, std::nullopt); });
        return Progress::make(100);
    }

    ProgressPtr modify(ItemPtr item, ItemVersion, ItemFields, std::optional<std::filesystem::path>,
                       WriteCompletion done) override {
        answer("modify", [item, done] { done(item, 0, false, std::nullopt); });
        return Progress::make(100);
    }

    ProgressPtr remove(const ItemId&, ItemVersion, Completion done) override {
        answer("remove", [done] { done(std::nullopt); });
        return Progress::make(1);
    }

    // Runs the reply for an entry, honouring that entry's fault.
    void answer(const std::string& entry, std::function<void()> reply) {
        Fault fault = faults_.count(entry) ? faults_.at(entry) : Fault::none;
        environment_.tasks->submit([this, fault, reply](std::stop_token) {
            switch (fault) {
                case Fault::none:
                    reply();
                    break;
                case Fault::doubleCompletion:
                    reply();
                    reply();
                    break;
                case Fault::missingFinish:
                    break;
                case Fault::lateCall: {
                    std::lock_guard lock(mutex_);
                    late_.push_back(reply);
                    break;
                }
            }
        });
    }

private:
    class ToyEnumerator final : public Enumerator {
    public:
        explicit ToyEnumerator(std::shared_ptr<ToyExtension> owner) : owner_(std::move(owner)) {}
        void invalidate() override {}
        void enumerateItems(EnumerationObserverPtr observer, Page) override {
            owner_->answer("enumerateItems", [observer] {
                observer->didEnumerate({toyItem("a"), toyItem("b")});
                observer->finishUpTo(std::nullopt);
            });
        }
        void enumerateChanges(ChangeObserverPtr observer, SyncAnchor anchor) override {
            owner_->answer("enumerateChanges", [observer, anchor] {
                observer->didUpdate({toyItem("a")});
                observer->didDelete({"gone"});
                observer->finishChangesUpTo(anchor, false);
            });
        }
        void currentSyncAnchor(std::function<void(std::optional<SyncAnchor>)> completion) override {
            owner_->answer("currentSyncAnchor", [completion] { completion(SyncAnchor{'1'}); });
        }

    private:
        std::shared_ptr<ToyExtension> owner_;
    };

    ExtensionEnvironment environment_;
    std::map<std::string, Fault> faults_;
    ThumbnailReply thumbnailReply_;
    std::mutex mutex_;
    std::vector<std::function<void()>> late_;
};

struct ToyHolder {
    std::shared_ptr<ToyExtension> toy;
};

ExtensionFactory toyFactory(ToyHolder& holder, std::map<std::string, Fault> faults) {
    return [&holder, faults](ExtensionEnvironment environment) -> ExtensionPtr {
        holder.toy = std::make_shared<ToyExtension>(std::move(environment), faults);
        return holder.toy;
    };
}

// Calls every entry of the extension once through the harness.
void exerciseEveryEntry(ExtensionHarness& harness) {
    harness.item("i1");
    harness.fetchContents("f1");
    harness.fetchThumbnails({"t1", "t2"});
    harness.create(toyItem("new"), ItemField::filename);
    harness.modify(toyItem("m1"), ItemVersion{}, ItemField::contents);
    harness.remove("r1", ItemVersion{});
    harness.enumerateItems(kRootContainer);
    harness.enumerateChanges(kRootContainer);
    harness.currentSyncAnchor(kRootContainer);
}

TEST(FileProviderHarness, ACorrectExtensionDrainsClean) {
    ToyHolder holder;
    ExtensionHarness harness(toyFactory(holder, {}));
    exerciseEveryEntry(harness);
    EXPECT_THAT(harness.drain(), IsEmpty());

    auto listing = harness.enumerateItems(kRootContainer);
    auto changes = harness.enumerateChanges(kRootContainer, SyncAnchor{'7'});
    auto contents = harness.fetchContents("f2");
    EXPECT_THAT(harness.drain(), IsEmpty());
    EXPECT_THAT(listing->identifiers(), ElementsAre("a", "b"));
    EXPECT_EQ(listing->finishedUpTo(), std::optional<std::optional<Page>>(std::optional<Page>()));
    EXPECT_THAT(changes->updatedIdentifiers(), ElementsAre("a"));
    EXPECT_THAT(changes->deleted(), ElementsAre("gone"));
    EXPECT_EQ(changes->anchor(), SyncAnchor{'7'});
    ASSERT_EQ(contents->count(), 1u);
    EXPECT_EQ(std::get<0>(contents->first()), std::filesystem::path("/tmp/f2"));
}

TEST(FileProviderHarness, ARefusedEnumeratorReachesTheObserverAsItsOneFinish) {
    ToyHolder holder;
    ExtensionHarness harness(toyFactory(holder, {}));
    auto observer = harness.enumerateItems("not-a-folder");
    EXPECT_THAT(harness.drain(), IsEmpty());
    ASSERT_TRUE(observer->error().has_value());
    EXPECT_EQ(observer->error()->code, FileProviderErrorCode::noSuchItem);
}

TEST(FileProviderHarness, EveryFaultInEveryEntryFailsTheDrainNamingTheEntry) {
    struct Case {
        std::string entry;      // the toy's entry that misbehaves
        std::string reported;   // how the harness names it
    };
    std::vector<Case> entries = {
        {"item", "item(i1) completion"},
        {"fetchContents", "fetchContents(f1) completion"},
        {"fetchThumbnails", "fetchThumbnails"},
        {"create", "create(new.txt) completion"},
        {"modify", "modify(m1) completion"},
        {"remove", "remove(r1) completion"},
        {"enumerateItems", "enumerateItems(" + kRootContainer + ")"},
        {"enumerateChanges", "enumerateChanges(" + kRootContainer + ")"},
        {"currentSyncAnchor", "currentSyncAnchor(" + kRootContainer + ") completion"},
    };
    struct FaultCase {
        Fault fault;
        std::string symptom;
    };
    std::vector<FaultCase> faults = {
        {Fault::doubleCompletion, "called 2 times"},
        {Fault::missingFinish, "never called"},
        {Fault::lateCall, "never called"},
    };
    for (const auto& entry : entries) {
        for (const auto& fault : faults) {
            SCOPED_TRACE(entry.entry + " / " + fault.symptom);
            ToyHolder holder;
            ExtensionHarness harness(toyFactory(holder, {{entry.entry, fault.fault}}));
            exerciseEveryEntry(harness);
            auto violations = harness.drain();
            ASSERT_FALSE(violations.empty());
            bool named = false;
            for (const auto& violation : violations) {
                if (violation.find(entry.reported) != std::string::npos) named = true;
                // Only the faulty entry is blamed.
                EXPECT_THAT(violation, HasSubstr(entry.reported));
            }
            EXPECT_TRUE(named);
            if (fault.fault == Fault::lateCall) {
                // The call that finally comes is caught as late.
                holder.toy->fireLate();
                auto late = harness.drain();
                ASSERT_FALSE(late.empty());
                EXPECT_THAT(late.front(), HasSubstr("late"));
                EXPECT_THAT(late.front(), HasSubstr(entry.reported));
            }
        }
    }
}

TEST(FileProviderHarness, EveryRequestedThumbnailIsAnsweredOnceBeforeTheFinalCompletion) {
    using PerThumbnail = ReplicatedExtension::PerThumbnail;
    using Completion = ReplicatedExtension::Completion;
    const Error cancelled = Error::userCancelled();
    const Error failed{kCocoaErrorDomain, CocoaErrorCode::connectionReplyInvalid, ErrorUserInfo{"failed", nullptr}};
    auto answer = [](const PerThumbnail& perItem, const ItemId& id) { perItem(id, std::nullopt, std::nullopt); };
    struct Case {
        const char* name;
        ToyExtension::ThumbnailReply reply;
        std::vector<std::string> violations;  // each found in one reported violation
    };
    const std::vector<Case> cases = {
        {"every identifier answered",
         [&](const auto&, const PerThumbnail& perItem, const Completion& done) {
             answer(perItem, "t1");
             answer(perItem, "t2");
             done(std::nullopt);
         },
         {}},
        {"one identifier never answered",
         [&](const auto&, const PerThumbnail& perItem, const Completion& done) {
             answer(perItem, "t1");
             done(std::nullopt);
         },
         {"fetchThumbnails per-thumbnail(t2): never answered before the final completion"}},
        {"an identifier left unanswered by a failed request",
         [&](const auto&, const PerThumbnail& perItem, const Completion& done) {
             answer(perItem, "t1");
             done(failed);
         },
         {"fetchThumbnails per-thumbnail(t2): never answered before the final completion"}},
        {"an answer after the final completion",
         [&](const auto&, const PerThumbnail& perItem, const Completion& done) {
             answer(perItem, "t1");
             done(std::nullopt);
             answer(perItem, "t2");
         },
         {"fetchThumbnails per-thumbnail(t2): never answered before the final completion",
          "fetchThumbnails per-thumbnail(t2): called late, after the final completion"}},
        // Chunks never started after a cancellation get no answer.
        {"cancelled with identifiers never started",
         [&](const auto&, const PerThumbnail& perItem, const Completion& done) {
             answer(perItem, "t1");
             done(cancelled);
         },
         {}},
        {"cancelled, then answering after the final completion",
         [&](const auto&, const PerThumbnail& perItem, const Completion& done) {
             answer(perItem, "t1");
             done(cancelled);
             answer(perItem, "t2");
         },
         {"fetchThumbnails per-thumbnail(t2): called late, after the final completion"}},
        {"an identifier answered twice",
         [&](const auto&, const PerThumbnail& perItem, const Completion& done) {
             answer(perItem, "t1");
             answer(perItem, "t1");
             answer(perItem, "t2");
             done(std::nullopt);
         },
         {"fetchThumbnails per-thumbnail(t1): called 2 times"}},
        {"an identifier that was not requested",
         [&](const auto&, const PerThumbnail& perItem, const Completion& done) {
             answer(perItem, "t1");
             answer(perItem, "t2");
             answer(perItem, "other");
             done(std::nullopt);
         },
         {"fetchThumbnails per-thumbnail(other): answered, but never requested"}},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        ToyHolder holder;
        ExtensionHarness harness(toyFactory(holder, {}));
        holder.toy->setThumbnailReply(row.reply);
        harness.fetchThumbnails({"t1", "t2"});
        std::vector<::testing::Matcher<std::string>> expected;
        for (const auto& violation : row.violations) expected.push_back(HasSubstr(violation));
        EXPECT_THAT(harness.drain(), ::testing::UnorderedElementsAreArray(expected));
    }
}

TEST(FileProviderHarness, ACallAfterTheLastDrainIsCaughtWhenTheHarnessGoes) {
    struct Case {
        const char* name;
        Fault fault;
        bool expectCaught;
    };
    const Case cases[] = {
        {"nothing late", Fault::none, false},
        {"a completion called after the last drain", Fault::lateCall, true},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> atEnd;
        bool reported = false;
        ToyHolder holder;
        {
            ExtensionHarness::Options options;
            options.onViolationsAtEnd = [&](const std::vector<std::string>& violations) {
                reported = true;
                atEnd = violations;
            };
            ExtensionHarness harness(toyFactory(holder, {{"remove", row.fault}}), options);
            harness.remove("r1", ItemVersion{});
            harness.drain();
            holder.toy->fireLate();
        }
        EXPECT_EQ(reported, row.expectCaught);
        if (row.expectCaught) {
            EXPECT_THAT(atEnd, ElementsAre(AllOf(HasSubstr("remove(r1) completion"), HasSubstr("late"))));
        }
    }
}

TEST(FileProviderHarness, ObserverCallsAfterTheFinishAreViolations) {
    CompletionTracker tracker;
    RecordingChangeObserver changes(tracker, "changes");
    changes.finishChangesUpTo({}, false);
    changes.didUpdate({});
    RecordingEnumerationObserver items(tracker, "items");
    items.finishUpTo(std::nullopt);
    items.didEnumerate({});
    auto violations = tracker.check();
    EXPECT_THAT(violations, ElementsAre(HasSubstr("changes: didUpdate after the finishing call"),
                                        HasSubstr("items: didEnumerate after the finishing call")));
}

TEST(FileProviderHarness, ATaskThatNeverEndsIsReportedInsteadOfHanging) {
    ToyHolder holder;
    ExtensionHarness harness(toyFactory(holder, {}));
    // A task sleeping on the manual clock keeps the pool busy.
    harness.tasks().submit([&harness](std::stop_token stop) { harness.clock().sleepFor(std::chrono::hours(1), stop); });
    auto violations = harness.drain(std::chrono::milliseconds(200));
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_THAT(violations[0], HasSubstr("did not finish"));
    // Once the clock moves on, the pool drains.
    harness.clock().advance(std::chrono::hours(1));
    EXPECT_THAT(harness.drain(), IsEmpty());
}

TEST(FileProviderHarness, WithoutManagerTheExtensionGetsNone) {
    struct Case {
        bool withManager;
    };
    for (const auto& row : {Case{true}, Case{false}}) {
        ExtensionHarness::Options options;
        options.withManager = row.withManager;
        bool gotManager = !row.withManager;
        ToyHolder holder;
        ExtensionHarness harness(
            [&](ExtensionEnvironment environment) -> ExtensionPtr {
                gotManager = environment.manager() != nullptr;
                return toyFactory(holder, {})(environment);
            },
            options);
        EXPECT_EQ(gotManager, row.withManager);
    }
}

}  // namespace
}  // namespace nimbuscrate::fp::testing
