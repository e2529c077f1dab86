#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace nimbuscrate {

class TaskPool;
class UrlOpener;

// Shows a folder to the user in the desktop's file manager.
class FolderRevealer {
public:
    virtual ~FolderRevealer() = default;
    // Starts showing the folder, selected, and returns at once. Failures are
    // logged, never reported: the folder is there either way.
    virtual void reveal(const std::filesystem::path& folder) = 0;
};

// The desktop's file manager: the D-Bus call
// org.freedesktop.FileManager1.ShowItems (the folder's file URI, selected)
// on the session bus; when that fails, the folder is opened with the URL
// opener (xdg-open of the folder).
class DesktopFolderRevealer final : public FolderRevealer {
public:
    // `showItems`: the command that makes the D-Bus call, run on a worker
    // without a shell, with "array:string:<file URI>" and "string:" (an empty
    // startup id) appended; exit status 0 means the file manager took it.
    DesktopFolderRevealer(TaskPool& workers, UrlOpener& fallback,
                          std::vector<std::string> showItems = defaultShowItemsCommand());

    void reveal(const std::filesystem::path& folder) override;

    // dbus-send --session --print-reply --dest=org.freedesktop.FileManager1
    //   /org/freedesktop/FileManager1 org.freedesktop.FileManager1.ShowItems
    static std::vector<std::string> defaultShowItemsCommand();
    // "file://" and the percent-encoded absolute path.
    static std::string fileURI(const std::filesystem::path& folder);

private:
    TaskPool& workers_;
    UrlOpener& fallback_;
    std::vector<std::string> showItems_;
};

}  // namespace nimbuscrate
