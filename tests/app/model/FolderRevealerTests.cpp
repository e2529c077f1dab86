// Showing the mounted folder: the file manager's D-Bus call as a command,
// and xdg-open of the folder when the file manager does not take it.

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>

#include "app/model/FolderRevealer.h"
#include "platform/tasks/TaskPool.h"
#include "platform/websession/UrlOpener.h"
#include "tests/support/Eventually.h"
#include "tests/support/LocalServiceFixture.h"

namespace nimbuscrate {
namespace {

class RecordingOpener final : public UrlOpener {
public:
    bool open(const std::string& url, Failure) override {
        std::lock_guard lock(mutex);
        opened.push_back(url);
        return true;
    }
    std::vector<std::string> urls() {
        std::lock_guard lock(mutex);
        return opened;
    }
    std::mutex mutex;
    std::vector<std::string> opened;
};

class FolderRevealerTest : public ::testing::Test {
protected:
    ~FolderRevealerTest() override {
        workers.shutdown();
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
    // A stand-in for dbus-send that writes its arguments, one a line, and exits with `status`.
    std::vector<std::string> showItems(int status) {
        return {"/bin/sh", "-c", "printf '%s\\n' \"$@\" > '" + (directory / "arguments").string() + "'; exit " +
                                     std::to_string(status),
                "show-items"};
    }
    std::string arguments() { return testing::readFile(directory / "arguments"); }

    std::filesystem::path directory = testing::makeTemporaryDirectory("nc-reveal");
    TaskPool workers{1};
    RecordingOpener opener;
};

TEST_F(FolderRevealerTest, TheFileManagerShowsTheFolderByItsURI) {
    DesktopFolderRevealer revealer(workers, opener, showItems(0));
    revealer.reveal("/home/a user/Nimbuscrate, Team");
    workers.waitIdle();
    EXPECT_EQ(arguments(), "array:string:file:///home/a%20user/Nimbuscrate%2C%20Team\nstring:\n");
    EXPECT_TRUE(opener.urls().empty());
}

TEST_F(FolderRevealerTest, WithoutAFileManagerTheFolderIsOpened) {
    DesktopFolderRevealer revealer(workers, opener, showItems(1));
    revealer.reveal("/srv/Nimbuscrate");
    workers.waitIdle();
    EXPECT_EQ(opener.urls(), (std::vector<std::string>{"file:///srv/Nimbuscrate"}));

    DesktopFolderRevealer missing(workers, opener, {"/nonexistent/dbus-send"});
    missing.reveal("/srv/Other");
    workers.waitIdle();
    EXPECT_EQ(opener.urls().back(), "file:///srv/Other");
}

TEST_F(FolderRevealerTest, TheDefaultCommandCallsShowItemsOnTheSessionBus) {
    EXPECT_EQ(DesktopFolderRevealer::defaultShowItemsCommand(),
              (std::vector<std::string>{"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.FileManager1",
                                        "/org/freedesktop/FileManager1", "org.freedesktop.FileManager1.ShowItems"}));
    EXPECT_EQ(DesktopFolderRevealer::fileURI("/a/b~c_d.e-f/é"), "file:///a/b~c_d.e-f/%C3%A9");
}

}  // namespace
}  // namespace nimbuscrate
