// A process committing a file is killed (SIGKILL) at each step the service
// holds, and a fresh process goes on from the journal: same revision, no
// second reservation once one was saved, no second encryption, and one file
// record whose download is the source.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/shared/encryption-client/E2EECommitFixture.h"
#include "tests/support/Eventually.h"

extern char** environ;

namespace nimbuscrate {
namespace {

using namespace std::chrono_literals;
using localservice::Route;
using testing::kAccountHost;
using testing::patternBytes;
using testing::readFile;

// One run of the committing program.
class CommitProcess {
public:
    explicit CommitProcess(const std::vector<std::string>& arguments) {
        std::vector<char*> argv;
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) pid_ = 0;
    }
    ~CommitProcess() { kill(); }
    CommitProcess(const CommitProcess&) = delete;
    CommitProcess& operator=(const CommitProcess&) = delete;

    bool started() const { return pid_ > 0; }
    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }
    // The exit status (-1 when it did not exit normally).
    int wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = 0;
};

class E2EECommitResume : public testing::E2EECommitFixture {
protected:
    void SetUp() override {
        E2EECommitFixture::SetUp();
        if (IsSkipped()) return;
        service.useForThisProcess();
        childState = temporary / "child-state";
        std::filesystem::create_directories(childState);
    }

    std::vector<std::string> childArguments(const std::filesystem::path& file, const std::string& name) const {
        return {std::string(NIMBUSCRATE_BINARY_DIR) + "/tests/shared/encryption-client/e2ee-commit-child",
                childState.string(), secrets.string(), file.string(), name};
    }

    // The child's journal state (null before it saved one).
    E2EEJSON childJournal() const {
        const auto root = E2EEUploadJournal::pendingRoot(childState);
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(root, ignored)) {
            const auto file = entry.path() / E2EEUploadJournal::kStateFileName;
            if (std::filesystem::exists(file)) return E2EEJSON::parse(readFile(file));
        }
        return nullptr;
    }
    std::filesystem::path childStaged() const {
        const auto root = E2EEUploadJournal::pendingRoot(childState);
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(root, ignored)) {
            return entry.path() / E2EEUploadJournal::kMainFileName;
        }
        return {};
    }
    E2EEJSON journalRevision() const {
        return childJournal().member("main").member("manifest").member("value").member("revisionId");
    }

    std::filesystem::path childState;
};

TEST_F(E2EECommitResume, AKilledCommitGoesOnFromItsJournalInAFreshProcess) {
    uploads().setPartSize(65'536);
    const std::string contents = patternBytes(300'000, 21);  // five parts of ciphertext
    const auto file = source(contents, "resumed.bin");
    const auto arguments = childArguments(file, "resumed.bin");
    const auto reserve = Route{"POST", kAccountHost, "/api/v1/uploads"};

    // 1. The service made the reservation and holds its reply.
    {
        auto gate = service.holdReply(reserve);
        CommitProcess child(arguments);
        ASSERT_TRUE(child.started());
        ASSERT_TRUE(gate->waitForArrivals(1, 60s)) << "no reservation";
        child.kill();
    }
    service.clearFaults();
    const E2EEJSON revision = journalRevision();
    ASSERT_TRUE(revision.isString());
    EXPECT_TRUE(childJournal().member("main").member("reservation").isNull());
    // What the first process encrypted, to compare with what is finally stored.
    const std::string staged = readFile(childStaged());
    ASSERT_FALSE(staged.empty());
    EXPECT_EQ(reservations(), 1u);

    // 2. A middle part, 3. the first complete.
    for (const Step step : {Step::partUpload, Step::complete}) {
        SCOPED_TRACE(step == Step::partUpload ? "part 3" : "complete");
        auto gate = step == Step::partUpload ? uploads().hold(step, 3) : uploads().hold(step);
        CommitProcess child(arguments);
        ASSERT_TRUE(gate->waitForArrivals(1, 60s));
        child.kill();
        uploads().clearKnobs();
        EXPECT_EQ(journalRevision(), revision);
        EXPECT_TRUE(childJournal().member("main").member("reservation").isObject());
        EXPECT_EQ(reservations(), 2u);  // the first process's reply was lost; one more since
        EXPECT_EQ(readFile(childStaged()), staged);
    }
    EXPECT_EQ(childJournal().member("main").member("completing"), E2EEJSON(true));

    // 4. The confirmation listing, after the complete published the revision.
    {
        auto complete = uploads().hold(Step::complete);
        CommitProcess child(arguments);
        ASSERT_TRUE(complete->waitForArrivals(1, 60s));
        auto listing = service.hold(Route{"GET", kAccountHost, "/api/v1/e2ee/nodes"});
        complete->open();
        ASSERT_TRUE(listing->waitForArrivals(1, 60s));
        child.kill();
        service.clearFaults();
        uploads().clearKnobs();
        EXPECT_FALSE(childJournal().member("main").member("entry").isNull());
        EXPECT_FALSE(childJournal().member("done") == E2EEJSON(true));
    }

    // 5. Left alone, a fresh process finishes.
    const std::size_t putsBefore = partPuts();
    CommitProcess last(arguments);
    ASSERT_EQ(last.wait(), 0);
    EXPECT_EQ(childJournal().member("done"), E2EEJSON(true));
    EXPECT_EQ(reservations(), 2u);
    EXPECT_EQ(partPuts(), putsBefore);

    client->refreshSnapshot(true);
    RemoteItem item;
    for (const RemoteItem& child : client->listEncryptedChildren(RemoteItem::root(), {})) {
        if (child.name == "resumed.bin") item = child;
    }
    ASSERT_FALSE(item.id.empty());
    const E2EEJSON record = storedFile(nodeIdOf(item));
    EXPECT_EQ(record.member("revisionId"), revision);
    EXPECT_EQ(service.accountApi().versionCount(Collection::files, nodeIdOf(item)), 1u);
    EXPECT_EQ(readFile(service.driveDirectory("drive-1") / *record.member("opaqueName").stringValue()), staged);
    EXPECT_EQ(E2EECrypto::sha256Base64URL(bytesOf(downloaded(item))), E2EECrypto::sha256Base64URL(bytesOf(contents)));
}

}  // namespace
}  // namespace nimbuscrate
