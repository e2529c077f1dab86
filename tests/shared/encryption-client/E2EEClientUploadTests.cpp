// Resumable encrypted uploads against the local service: reservation, parts
// and their retries, completion, heartbeats, the journal's record of each
// step, and the refusals that keep a part's bytes and headers safe.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <future>
#include <thread>

#include "platform/core/CancellationError.h"
#include "shared/encryption-client/E2EEUploadJournal.h"
#include "tests/shared/encryption-client/E2EEDownloadFixture.h"
#include "tools/localservice/UploadApi.h"

namespace nimbuscrate::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Case = E2EEError::Case;
using Step = localservice::UploadApi::Step;

// One staged revision: its prepared manifest in a journal of its own and its
// encrypted file "main.nbenc" in the journal's folder.
struct Staged {
    E2EECrypto::Prepared prepared;
    std::unique_ptr<E2EEUploadJournal> journal;
    fs::path file;
    std::int64_t length = 0;
};

class encryptionclient_Upload : public E2EEDownloadFixture {
protected:
    void SetUp() override {
        E2EEDownloadFixture::SetUp();
        if (IsSkipped()) return;
        uploads().setPartSize(4096);
    }

    localservice::UploadApi& uploads() { return service.uploads(); }

    Staged stage(std::int64_t size = 10'000) {
        Staged staged;
        staged.prepared = E2EECrypto::prepareFile(builder.keys(), "report.bin", size, "application/octet-stream", 1000,
                                                  E2EEJSON("root"), std::nullopt, nullptr);
        const E2EEJSON identity = E2EEJSON::object({{"session", *session.sessionID},
                                                    {"account", "acct_1"},
                                                    {"drive", "drive-1"},
                                                    {"parent", "root"},
                                                    {"name", "report-" + std::to_string(++staging) + ".bin"},
                                                    {"node", nullptr}});
        staged.journal = std::make_unique<E2EEUploadJournal>(E2EEUploadJournal::pendingRoot(stateDirectory), identity);
        staged.journal->state.setMember(E2EEJSON::object({{"manifest", staged.prepared.manifest}}), "main");
        staged.journal->save();
        staged.file = staged.journal->directory / "main.nbenc";
        const fs::path plain = temporary / ("plain-" + std::to_string(staging));
        writeFile(plain, patternBytes(static_cast<std::size_t>(size), staging));
        E2EECrypto::transformFile(plain, staged.file, staged.prepared.file, true);
        staged.length = E2EECrypto::ciphertextLength(size);
        return staged;
    }

    E2EEJSON upload(Staged& staged, std::stop_token stop = {}) {
        return client->uploadEncryptedFile(staged.prepared, staged.file, *session.drive, *staged.journal, "main", stop);
    }
    // The journal's step as saved on disk.
    E2EEJSON savedStep(const Staged& staged) {
        return E2EEJSON::parse(readFile(staged.journal->stateURL)).member("main");
    }
    std::vector<localservice::RecordedRequest> matching(const std::string& method, const std::string& prefix) {
        return service.requests().matching(method, prefix);
    }
    std::size_t partLocationCalls() {
        std::size_t count = 0;
        for (const auto& request : matching("GET", "/api/v1/uploads/")) count += request.path.ends_with("/parts");
        return count;
    }
    std::size_t puts() { return matching("PUT", "/upload-parts/").size(); }
    std::size_t completions() {
        std::size_t count = 0;
        for (const auto& request : matching("POST", "/api/v1/uploads/")) count += request.path.ends_with("/complete");
        return count;
    }
    std::size_t heartbeats() {
        std::size_t count = 0;
        for (const auto& request : matching("POST", "/api/v1/uploads/")) count += request.path.ends_with("/heartbeat");
        return count;
    }
    static std::vector<std::string> partFiles(const fs::path& folder) {
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (entry.path().extension() == ".part") found.push_back(entry.path().filename().string());
        }
        return found;
    }
    // Runs the upload on another thread.
    std::future<E2EEJSON> uploadAsync(Staged& staged, std::stop_token stop = {}) {
        return std::async(std::launch::async, [this, &staged, stop] { return upload(staged, stop); });
    }
    // Waits (real time) until the condition holds.
    static bool eventually(const std::function<bool()>& condition) {
        for (int i = 0; i < 2000; ++i) {
            if (condition()) return true;
            std::this_thread::sleep_for(5ms);
        }
        return condition();
    }

    unsigned staging = 0;
};

TEST_F(encryptionclient_Upload, SendsThePartsCompletesAndRecordsEachStep) {
    Staged staged = stage();
    const E2EEJSON record = upload(staged);

    const E2EEJSON& value = staged.prepared.file.value;
    EXPECT_EQ(record, E2EEJSON::object({{"manifest", staged.prepared.manifest},
                                        {"driveId", "drive-1"},
                                        {"parentItemId", "drive-1"},
                                        {"opaqueName", staged.prepared.opaqueName},
                                        {"ciphertextLength", staged.length},
                                        {"revisionId", value.member("revisionId")},
                                        {"generation", value.member("previousGeneration").safeInteger() + 1},
                                        {"current", true}}));
    // The service holds exactly the staged bytes under the opaque name.
    EXPECT_EQ(readFile(service.driveDirectory("drive-1") / staged.prepared.opaqueName), readFile(staged.file));

    // Each step is on disk: the reservation as received, "completing", the record.
    const E2EEJSON step = savedStep(staged);
    EXPECT_EQ(step.member("manifest"), staged.prepared.manifest);
    EXPECT_EQ(step.member("completing"), E2EEJSON(true));
    EXPECT_EQ(step.member("entry"), record);
    const std::string id = *step.member("reservation").member("id").stringValue();
    EXPECT_EQ(step.member("reservation"), E2EEJSON::object({{"id", id},
                                                           {"partSize", 4096},
                                                           {"partCount", 3},
                                                           {"heartbeatSeconds", 30}}));

    // Three parts, each PUT with exactly the listed header: no token and
    // nothing of the transport's own.
    const auto parts = matching("PUT", "/upload-parts/");
    ASSERT_EQ(parts.size(), 3u);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(parts[i].path, "/upload-parts/" + id + "/" + std::to_string(i + 1));
        EXPECT_EQ(parts[i].bodyLength, i < 2 ? 4096u : static_cast<std::uint64_t>(staged.length - 8192));
        std::vector<std::string> names;
        for (const auto& field : parts[i].headers.fields()) names.push_back(field.first);
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"Content-Length", "Content-Type", "Host"}));
        EXPECT_EQ(parts[i].header("Content-Type"), "application/octet-stream");
    }
    const auto reservations = matching("POST", "/api/v1/uploads");
    ASSERT_GE(reservations.size(), 1u);
    EXPECT_EQ(reservations.front().header("Upload-Length"), std::to_string(staged.length));
    EXPECT_EQ(partFiles(staged.journal->directory), std::vector<std::string>{});
    // The committed manifest's receipt is in the account's state file.
    const E2EEJSON receipts = E2EEJSON::parse(readFile(stateDirectory / "acct_1.json"));
    EXPECT_EQ(receipts.member("file:" + *value.member("nodeId").stringValue()).member("generation"), E2EEJSON(1));
}

TEST_F(encryptionclient_Upload, APartOfExactlyThePartSizeIsFullAndOneByteMoreMakesAnotherPart) {
    for (const std::int64_t extra : {0, 1}) {
        SCOPED_TRACE(extra);
        service.requests().clear();
        Staged staged = stage(20'000);
        uploads().setPartSize(static_cast<std::uint64_t>(staged.length - extra));
        upload(staged);
        const auto parts = matching("PUT", "/upload-parts/");
        ASSERT_EQ(parts.size(), extra == 0 ? 1u : 2u);
        EXPECT_EQ(parts.front().bodyLength, static_cast<std::uint64_t>(staged.length - extra));
        if (extra == 1) {
            EXPECT_EQ(parts.back().bodyLength, 1u);
        }
    }
}

TEST_F(encryptionclient_Upload, APartThatFailsTwiceIsSentAgainWithAFreshLocation) {
    Staged staged = stage(2000);
    uploads().fail(Step::partUpload, 500, 2);
    upload(staged);
    EXPECT_EQ(partLocationCalls(), 3u);
    EXPECT_EQ(puts(), 3u);
    // Three different URLs.
    const auto parts = matching("PUT", "/upload-parts/");
    EXPECT_NE(parts[0].target, parts[1].target);
    EXPECT_NE(parts[1].target, parts[2].target);
}

TEST_F(encryptionclient_Upload, ThreeFailuresEndTheCallAndTheNextCallRestartsAtPartOneUnderTheSameReservation) {
    Staged staged = stage();
    uploads().fail(Step::partUpload, 500, 3, 2);
    const std::optional<DesktopError> error = desktopErrorOf([&] { upload(staged); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), DesktopError::Kind::invalidResponse);
    EXPECT_EQ(partFiles(staged.journal->directory), std::vector<std::string>{});
    const E2EEJSON saved = savedStep(staged);
    EXPECT_FALSE(saved.member("reservation").isNull());
    EXPECT_TRUE(saved.member("completing").isNull());
    EXPECT_EQ(puts(), 4u);  // part 1, then part 2 three times

    service.requests().clear();
    upload(staged);
    EXPECT_EQ(matching("POST", "/api/v1/uploads").size() - matching("POST", "/api/v1/uploads/").size(), 0u);
    const auto parts = matching("PUT", "/upload-parts/");
    ASSERT_EQ(parts.size(), 3u);
    const std::string id = *saved.member("reservation").member("id").stringValue();
    EXPECT_EQ(parts.front().path, "/upload-parts/" + id + "/1");
    EXPECT_TRUE(uploads().isComplete(id));
}

TEST_F(encryptionclient_Upload, APartLocationThatBreaksItsRulesIsAFailedAttemptAndNothingIsSent) {
    struct Bad {
        const char* label;
        const char* member;
        std::string json;
    };
    const std::string host = kAccountHost;
    const std::vector<Bad> cases = {
        {"another number", "number", "2"},
        {"another length", "length", "1"},
        {"a length that is not an integer", "length", "\"4096\""},
        {"plain http", "url", "\"http://" + host + "/upload-parts/x/1\""},
        {"upper-case HTTPS", "url", "\"HTTPS://" + host + "/upload-parts/x/1\""},
        {"a user name", "url", "\"https://user@" + host + "/upload-parts/x/1\""},
        {"a user and password", "url", "\"https://user:secret@" + host + "/upload-parts/x/1\""},
        {"not a URL", "url", "\"https://\""},
        {"Authorization", "headers", R"({"authorization":"Bearer x"})"},
        {"AUTHORIZATION", "headers", R"({"AUTHORIZATION":"Bearer x"})"},
        {"Cookie", "headers", R"({"Cookie":"a=b"})"},
        {"Host", "headers", R"({"Host":"elsewhere.example"})"},
        {"a CR LF in a value", "headers", R"({"X-Note":"a\r\nAuthorization: Bearer stolen"})"},
        {"a lone LF in a value", "headers", R"({"X-Note":"a\nb"})"},
        {"a lone CR in a value", "headers", R"({"X-Note":"a\rb"})"},
        {"a NUL in a value", "headers", R"({"X-Note":"a\u0000b"})"},
        {"a name that is no token", "headers", R"({"X Note":"a"})"},
        {"a name with a colon", "headers", R"({"X-Note:":"a"})"},
        {"a value that is no string", "headers", R"({"X-Note":1})"},
        {"headers that are no object", "headers", R"(["Content-Type"])"},
    };
    for (const Bad& bad : cases) {
        SCOPED_TRACE(bad.label);
        service.requests().clear();
        Staged staged = stage(100);
        uploads().overridePartMember(bad.member, bad.json, 1);
        upload(staged);
        EXPECT_EQ(partLocationCalls(), 2u);
        EXPECT_EQ(puts(), 1u);
        for (const auto& put : matching("PUT", "")) {
            EXPECT_FALSE(put.headers.has("Authorization"));
            EXPECT_FALSE(put.headers.has("X-Note"));
        }
    }

    // Three bad locations for one part end the upload without a PUT.
    service.requests().clear();
    Staged staged = stage(100);
    uploads().overridePartMember("headers", R"({"X-Note":"a\r\nAuthorization: Bearer stolen"})", 3);
    EXPECT_EQ(e2eeErrorOf([&] { upload(staged); }), Case::invalid);
    EXPECT_EQ(partLocationCalls(), 3u);
    EXPECT_EQ(puts(), 0u);
    EXPECT_EQ(partFiles(staged.journal->directory), std::vector<std::string>{});
}

TEST_F(encryptionclient_Upload, HeadersTheServiceListsGoOutExactly) {
    uploads().setPartHeaders({{"Content-Type", "application/x-nbenc"}, {"X-Part-Token", "t-1"}, {"x-lower", ""}});
    Staged staged = stage(100);
    upload(staged);
    const auto parts = matching("PUT", "/upload-parts/");
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].header("Content-Type"), "application/x-nbenc");
    EXPECT_EQ(parts[0].header("X-Part-Token"), "t-1");
    EXPECT_TRUE(parts[0].headers.has("x-lower"));
    EXPECT_EQ(parts[0].headers.fields().size(), 5u);  // with Host and Content-Length
}

TEST_F(encryptionclient_Upload, AReservationReplyThatBreaksItsRulesIsInvalidAndNeverStored) {
    const std::int64_t length = E2EECrypto::ciphertextLength(10'000);
    const std::string count = std::to_string((4095 + length) / 4096);
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"not an object", R"([1])"},
        {"no id", R"({"partSize":4096,"partCount":)" + count + "}"},
        {"an id that is no identifier", R"({"id":"a b","partSize":4096,"partCount":)" + count + "}"},
        {"a part size of 0", R"({"id":"u","partSize":0,"partCount":)" + count + "}"},
        {"a part size above 5 GiB", R"({"id":"u","partSize":5368709121,"partCount":1})"},
        {"a part count of 0", R"({"id":"u","partSize":4096,"partCount":0})"},
        {"a part count above 10,000", R"({"id":"u","partSize":1,"partCount":10001})"},
        {"a part count that does not fit", R"({"id":"u","partSize":4096,"partCount":)" +
                                               std::to_string((4095 + length) / 4096 + 1) + "}"},
        {"a part size that is text", R"({"id":"u","partSize":"4096","partCount":)" + count + "}"},
    };
    for (const auto& [label, reply] : cases) {
        SCOPED_TRACE(label);
        service.requests().clear();
        Staged staged = stage();
        uploads().overrideReservationReply(reply);
        EXPECT_EQ(e2eeErrorOf([&] { upload(staged); }), Case::invalid);
        EXPECT_TRUE(savedStep(staged).member("reservation").isNull());
        EXPECT_EQ(puts(), 0u);
        // The next call reserves anew and goes through.
        upload(staged);
    }
}

TEST_F(encryptionclient_Upload, AStoredReservationThatIsNotValidResetsTheJournal) {
    Staged staged = stage();
    E2EEJSON step = staged.journal->state.member("main");
    step.setMember(E2EEJSON::object({{"id", "u"}, {"partSize", 0}, {"partCount", 1}}), "reservation");
    staged.journal->state.setMember(step, "main");
    staged.journal->save();
    EXPECT_EQ(e2eeErrorOf([&] { upload(staged); }), Case::invalid);
    EXPECT_EQ(E2EEJSON::parse(readFile(staged.journal->stateURL)),
              E2EEJSON::object({{"identity", staged.journal->state.member("identity")}}));
    EXPECT_FALSE(fs::exists(staged.file));
    EXPECT_TRUE(matching("", "/api/v1/uploads").empty());
}

TEST_F(encryptionclient_Upload, ARefusedRevisionOrAGoneReservationResetsTheJournal) {
    struct Refusal {
        const char* label;
        Step step;
        int status;
        int times;
        bool reset;
    };
    const std::vector<Refusal> cases = {
        {"409 at the reservation", Step::reserve, 409, 1, true},
        {"409 at the completion", Step::complete, 409, 1, true},
        {"410 for every part location", Step::partLocation, 410, 3, true},
        {"404 for every part location", Step::partLocation, 404, 3, true},
        {"410 at the completion", Step::complete, 410, 1, false},
        {"500 at the completion", Step::complete, 500, 1, false},
        {"503 at the reservation", Step::reserve, 503, 1, false},
    };
    for (const Refusal& refusal : cases) {
        SCOPED_TRACE(refusal.label);
        Staged staged = stage(100);
        uploads().fail(refusal.step, refusal.status, refusal.times);
        EXPECT_THROW(upload(staged), std::exception);
        const E2EEJSON saved = E2EEJSON::parse(readFile(staged.journal->stateURL));
        if (refusal.reset) {
            EXPECT_EQ(saved, E2EEJSON::object({{"identity", staged.journal->state.member("identity")}}));
            EXPECT_FALSE(fs::exists(staged.file));
        } else {
            EXPECT_EQ(saved.member("main").member("manifest"), staged.prepared.manifest);
            EXPECT_TRUE(fs::exists(staged.file));
        }
        uploads().clearKnobs();
    }
}

TEST_F(encryptionclient_Upload, ASavedCompletingMarkSendsOnlyTheCompletion) {
    Staged staged = stage();
    uploads().fail(Step::complete, 500);
    EXPECT_TRUE(desktopErrorOf([&] { upload(staged); }));
    EXPECT_EQ(savedStep(staged).member("completing"), E2EEJSON(true));

    service.requests().clear();
    const E2EEJSON record = upload(staged);
    EXPECT_EQ(partLocationCalls(), 0u);
    EXPECT_EQ(puts(), 0u);
    EXPECT_EQ(completions(), 1u);
    EXPECT_EQ(savedStep(staged).member("entry"), record);
}

TEST_F(encryptionclient_Upload, ACompletionStillPendingIsPolledUntilTheDeadline) {
    uploads().setHeartbeatSeconds(0);  // no heartbeat
    // Moves the manual clock once after each completion request, when the
    // upload waits on it.
    const auto tick = [this](std::future<E2EEJSON>& running, Clock::Duration step) {
        std::size_t advancedAt = 0;
        while (running.wait_for(1ms) != std::future_status::ready) {
            const std::size_t polls = completions();
            if (clock.sleepers() > 0 && polls > advancedAt) {
                advancedAt = polls;
                clock.advance(step);
            }
        }
    };
    {
        uploads().setCompletingReplies(2);
        Staged staged = stage();
        auto running = uploadAsync(staged);
        tick(running, Clock::Duration(2));
        EXPECT_NO_THROW(running.get());
        EXPECT_EQ(completions(), 3u);
    }
    {
        uploads().setCompletingReplies(1'000'000);
        service.requests().clear();
        Staged staged = stage();
        auto running = uploadAsync(staged);
        tick(running, Clock::Duration(100));
        EXPECT_EQ(e2eeErrorOf([&] { running.get(); }), Case::invalid);
        // Polls at 0, 100, ..., 1800 s: the one at the deadline is the last.
        EXPECT_EQ(completions(), 19u);
        EXPECT_EQ(savedStep(staged).member("completing"), E2EEJSON(true));
    }
}

TEST_F(encryptionclient_Upload, ACompletionOfAnotherUploadIsInvalid) {
    Staged staged = stage(100);
    service.overrideReply(localservice::Route{"POST", kAccountHost, "/api/v1/uploads/"},
                          localservice::ReplyOverride{200, {{"Content-Type", "application/json"}},
                                                      R"({"id":"upl_other","state":"complete"})"});
    EXPECT_EQ(e2eeErrorOf([&] { upload(staged); }), Case::invalid);
    EXPECT_TRUE(savedStep(staged).member("entry").isNull());
}

TEST_F(encryptionclient_Upload, HeartbeatsOnlyForIntervalsFromTenTo300Seconds) {
    for (const std::int64_t seconds : {9, 301}) {
        SCOPED_TRACE(seconds);
        service.requests().clear();
        uploads().setHeartbeatSeconds(seconds);
        const auto gate = uploads().hold(Step::partUpload);
        Staged staged = stage(100);
        auto running = uploadAsync(staged);
        ASSERT_TRUE(gate->waitForArrivals(1, 10s));
        for (int i = 0; i < 20; ++i) clock.advance(Clock::Duration(seconds));
        EXPECT_EQ(clock.sleepers(), 0u);
        gate->open();
        running.get();
        EXPECT_EQ(heartbeats(), 0u);
        uploads().clearKnobs();
    }
}

TEST_F(encryptionclient_Upload, HeartbeatsEveryIntervalWhileAPartIsSlowAndNoneAfter) {
    struct Interval {
        std::optional<std::int64_t> listed;
        double every;
    };
    for (const Interval interval : {Interval{10, 10}, Interval{std::nullopt, 30}}) {
        SCOPED_TRACE(interval.every);
        service.requests().clear();
        uploads().setHeartbeatSeconds(interval.listed);
        // Every heartbeat fails: the upload goes on regardless.
        if (!interval.listed) uploads().fail(Step::heartbeat, 500, localservice::UploadApi::kEveryCall);
        const auto gate = uploads().hold(Step::partUpload);
        Staged staged = stage(100);
        auto running = uploadAsync(staged);
        ASSERT_TRUE(gate->waitForArrivals(1, 10s));
        for (std::size_t beat = 1; beat <= 10; ++beat) {
            ASSERT_TRUE(clock.waitForSleepers(1));
            clock.advance(Clock::Duration(interval.every - 1));
            EXPECT_EQ(heartbeats(), beat - 1);
            clock.advance(Clock::Duration(1));
            ASSERT_TRUE(eventually([&] { return heartbeats() == beat; }));
        }
        gate->open();
        running.get();
        // The heartbeat ended with the upload.
        EXPECT_EQ(clock.sleepers(), 0u);
        clock.advance(Clock::Duration(1000));
        EXPECT_EQ(heartbeats(), 10u);
        const auto beats = matching("POST", "/api/v1/uploads/");
        EXPECT_TRUE(beats.front().headers.has("Authorization"));
        uploads().clearKnobs();
    }
}

TEST_F(encryptionclient_Upload, AChangedSessionEndsTheUploadAtOnce) {
    Staged staged = stage();
    const auto gate = uploads().hold(Step::partUpload, 1);
    auto running = uploadAsync(staged);
    ASSERT_TRUE(gate->waitForArrivals(1, 10s));
    // The app signs in again while part 1 is on its way.
    signIn(3600, session.drive);
    gate->open();
    EXPECT_EQ(e2eeErrorOf([&] { running.get(); }), Case::sessionChanged);
    EXPECT_EQ(partLocationCalls(), 1u);
    EXPECT_EQ(puts(), 1u);
    EXPECT_EQ(partFiles(staged.journal->directory), std::vector<std::string>{});
    // Nothing is forgotten: the reservation stays for the same operation.
    EXPECT_FALSE(savedStep(staged).member("reservation").isNull());
}

TEST_F(encryptionclient_Upload, CancellationEndsTheUploadAtOnce) {
    Staged staged = stage();
    const auto gate = uploads().hold(Step::partUpload, 1);
    std::stop_source stop;
    auto running = uploadAsync(staged, stop.get_token());
    ASSERT_TRUE(gate->waitForArrivals(1, 10s));
    stop.request_stop();
    EXPECT_THROW(running.get(), CancellationError);
    gate->open();
    EXPECT_EQ(partLocationCalls(), 1u);
    EXPECT_EQ(partFiles(staged.journal->directory), std::vector<std::string>{});

    // A stop before the first part sends no part at all.
    service.requests().clear();
    std::stop_source early;
    early.request_stop();
    EXPECT_THROW(upload(staged, early.get_token()), CancellationError);
    EXPECT_EQ(partLocationCalls(), 0u);
}

TEST_F(encryptionclient_Upload, PartFilesLeftByAnInterruptedRunAreRemovedAndAShortFileIsInvalid) {
    Staged staged = stage();
    const std::string stale = Uuid::random().upperString() + ".part";
    writeFile(staged.journal->directory / stale, "left over");
    writeFile(staged.journal->directory / "notes.part", "not ours");
    upload(staged);
    EXPECT_EQ(partFiles(staged.journal->directory), std::vector<std::string>{"notes.part"});

    Staged shortened = stage();
    fs::resize_file(shortened.file, static_cast<std::uintmax_t>(shortened.length - 1));
    EXPECT_EQ(e2eeErrorOf([&] { upload(shortened); }), Case::invalid);
    EXPECT_EQ(partFiles(shortened.journal->directory), std::vector<std::string>{});
}

TEST_F(encryptionclient_Upload, PartFilesArePrivateWhileTheyExist) {
    Staged staged = stage();
    const auto gate = uploads().hold(Step::partUpload, 1);
    auto running = uploadAsync(staged);
    ASSERT_TRUE(gate->waitForArrivals(1, 10s));
    const auto files = partFiles(staged.journal->directory);
    ASSERT_EQ(files.size(), 1u);
    struct stat info {};
    ASSERT_EQ(::stat((staged.journal->directory / files[0]).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_size, 4096);
    gate->open();
    running.get();
}

}  // namespace
}  // namespace nimbuscrate::testing
