// The host serving the real extension on a real FUSE mount, against the
// local service on 127.0.0.1: names as a byte-exact, case-sensitive folder
// holds them, names no folder can hold, and the free space `df` shows.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <future>
#include <vector>

#include "platform/log/LogCapture.h"
#include "tests/fileprovider/host-end-to-end/HostEndToEndFixture.h"
#include "tests/support/Eventually.h"

namespace nimbuscrate::testing {
namespace {

const std::string kComposed = "\xC3\xA9.txt";     // é as one code point
const std::string kDecomposed = "e\xCC\x81.txt";  // e and a combining acute accent

std::vector<std::string> namesIn(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// The output of a shell command.
std::string output(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return {};
    std::string text;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) text += buffer;
    ::pclose(pipe);
    return text;
}

class HostNamesEndToEnd : public HostEndToEnd {
protected:
    // Asks for the folder's changes, as a signal does; the error, if any.
    std::optional<fp::Error> refresh(const std::string& name) {
        auto node = mount()->replica().child(fp::host::kRootInode, name);
        if (!node) return fp::Error::fileProvider(fp::FileProviderErrorCode::noSuchItem);
        auto done = std::make_shared<std::promise<std::optional<fp::Error>>>();
        mount()->signal(node->identifier, [done](std::optional<fp::Error> error) { done->set_value(error); });
        auto future = done->get_future();
        if (future.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
            return fp::Error::fileProvider(fp::FileProviderErrorCode::serverUnreachable);
        }
        return future.get();
    }

    // A PROPFIND reply made by hand for a folder, for names the disk behind
    // the local service cannot hold.
    void replyToListingsOf(const std::string& path, const std::string& responses) {
        service_.overrideStatus({"PROPFIND", "", "/dav/spaces/d1" + path}, 207, localservice::FaultKnobs::kEveryCall,
                                "<?xml version=\"1.0\"?><d:multistatus xmlns:d=\"DAV:\" "
                                "xmlns:oc=\"http://owncloud.org/ns\">" + responses + "</d:multistatus>",
                                "application/xml; charset=utf-8");
    }
    static std::string entry(const std::string& href, const std::string& props) {
        return "<d:response><d:href>/dav/spaces/d1" + href + "</d:href><d:propstat><d:prop>" + props +
               "</d:prop><d:status>HTTP/1.1 200 OK</d:status></d:propstat></d:response>";
    }
    static std::string file(const std::string& id, const std::string& name) {
        return "<oc:fileid>" + id + "</oc:fileid><d:displayname>" + name + "</d:displayname><d:getetag>\"e-" + id +
               "\"</d:getetag><d:getcontentlength>2</d:getcontentlength><d:resourcetype/>";
    }

};

TEST_F(HostNamesEndToEnd, AServerFolderWithCaseAndUnicodeFormTwinsListsEveryItem) {
    writeFile(drive_ / "Twins" / "Report.txt", "upper");
    writeFile(drive_ / "Twins" / "report.txt", "lower");
    writeFile(drive_ / "Twins" / kComposed, "composed");
    writeFile(drive_ / "Twins" / kDecomposed, "decomposed");
    LogCapture logs;
    mountDrive();

    std::error_code error;
    std::vector<std::string> listed;
    for (const auto& entry : std::filesystem::directory_iterator(folder() / "Twins", error)) {
        listed.push_back(entry.path().filename());
    }
    ASSERT_FALSE(error) << error.message();
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::string>{"Report.txt", kDecomposed, "report.txt", kComposed}));
    EXPECT_EQ(readFile(folder() / "Twins" / "Report.txt"), "upper");
    EXPECT_EQ(readFile(folder() / "Twins" / "report.txt"), "lower");
    EXPECT_EQ(readFile(folder() / "Twins" / kComposed), "composed");
    EXPECT_EQ(readFile(folder() / "Twins" / kDecomposed), "decomposed");
    EXPECT_EQ(logs.matching("network", "differ only by case or Unicode form").size(), 2u);
}

TEST_F(HostNamesEndToEnd, TwinsMadeInTheFolderReachTheServerAndTheFolderStillRefreshes) {
    std::filesystem::create_directories(drive_ / "Docs");
    mountDrive();
    ASSERT_EQ(std::system(("touch '" + (folder() / "Docs" / "Data.txt").string() + "' '" +
                           (folder() / "Docs" / "data.txt").string() + "'")
                              .c_str()),
              0);
    ASSERT_TRUE(uploaded());
    EXPECT_TRUE(std::filesystem::exists(drive_ / "Docs" / "Data.txt"));
    EXPECT_TRUE(std::filesystem::exists(drive_ / "Docs" / "data.txt"));

    // A file added on the server shows once the folder is asked for its changes.
    writeFile(drive_ / "Docs" / "later.txt", "later");
    auto refused = refresh("Docs");
    EXPECT_FALSE(refused.has_value()) << refused->code;
    EXPECT_TRUE(eventually([&] {
        return namesIn(folder() / "Docs") == std::vector<std::string>{"Data.txt", "data.txt", "later.txt"};
    }));
    EXPECT_EQ(readFile(folder() / "Docs" / "later.txt"), "later");
}

TEST_F(HostNamesEndToEnd, ANameLongerThanAFolderHoldsIsLeftOutAndCannotBeMade) {
    const std::string longName(300, 'n');
    writeFile(drive_ / "Long" / "ok.txt", "ok");
    replyToListingsOf("/Long", entry("/Long/", "<oc:fileid>long</oc:fileid><d:resourcetype><d:collection/></d:resourcetype>") +
                                   entry("/Long/ok.txt", file("ok", "ok.txt")) +
                                   entry("/Long/" + longName, file("too-long", longName)));
    LogCapture logs;
    mountDrive();
    EXPECT_EQ(namesIn(folder() / "Long"), std::vector<std::string>{"ok.txt"});
    EXPECT_FALSE(logs.matching("host", "Left out too-long").empty());
    service_.clearFaults();
    EXPECT_EQ(readFile(folder() / "Long" / "ok.txt"), "ok");

    // Made here: refused at once, and nothing reaches the server.
    const auto tooLong = folder() / longName;
    EXPECT_EQ(::creat(tooLong.c_str(), 0600), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(::mkdir(tooLong.c_str(), 0700), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    writeFile(folder() / "short.txt", "short");
    EXPECT_EQ(::rename((folder() / "short.txt").c_str(), tooLong.c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    ASSERT_TRUE(uploaded());
    EXPECT_EQ(namesIn(drive_), (std::vector<std::string>{"Long", "short.txt"}));
}

TEST_F(HostNamesEndToEnd, DfShowsTheFiguresOfTheVolumeThatHoldsTheCache) {
    mountDrive();
    struct statvfs shown{};
    struct statvfs cache{};
    ASSERT_EQ(::statvfs(folder().c_str(), &shown), 0) << std::strerror(errno);
    ASSERT_EQ(::statvfs(mount()->stateDirectory().c_str(), &cache), 0);
    const auto bytes = [](fsblkcnt_t blocks, const struct statvfs& volume) {
        return static_cast<unsigned long long>(blocks) * volume.f_frsize;
    };
    EXPECT_GT(bytes(shown.f_blocks, shown), 0u);
    EXPECT_EQ(bytes(shown.f_blocks, shown), bytes(cache.f_blocks, cache));
    // Free space moves as other programs write; a few megabytes apart at most.
    const auto shownFree = bytes(shown.f_bavail, shown);
    const auto cacheFree = bytes(cache.f_bavail, cache);
    EXPECT_LT(shownFree > cacheFree ? shownFree - cacheFree : cacheFree - shownFree, 64ull << 20);
    EXPECT_EQ(shown.f_namemax, 255u);

    // And so does df itself (sizes in 1024-byte blocks).
    const std::string line = output("df -P -k '" + folder().string() + "' | tail -1");
    unsigned long long total = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%*s %llu", &total), 1) << line;
    EXPECT_EQ(total, bytes(cache.f_blocks, cache) / 1024) << line;
}

}  // namespace
}  // namespace nimbuscrate::testing
