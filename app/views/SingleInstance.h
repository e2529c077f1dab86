#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include <QObject>

class QLocalServer;

namespace nimbuscrate {

// One app per user. The first instance holds a lock file and listens on a
// local socket beside it, both in the user's private runtime folder; a later
// launch finds the lock taken, asks the first instance to show its window
// and ends.
//
//   later launch                      first instance
//   connect ───────────────────────▶  accept
//   "show\n" ──────────────────────▶  shows its window
//   ◀────────────────────────────────  "ok\n", close
class SingleInstance : public QObject {
    Q_OBJECT

public:
    // $XDG_RUNTIME_DIR/nimbuscrate; throws PlatformError when XDG_RUNTIME_DIR is unusable.
    static std::filesystem::path defaultFolder();

    explicit SingleInstance(std::filesystem::path folder, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Takes the lock and listens. False when another instance holds it.
    bool becomeFirst();
    // Asks the first instance to show its window; true when it answered.
    // Waits up to the timeout (the first instance may still be starting).
    bool askFirstToShow(int timeoutMilliseconds = 10000);

signals:
    void showRequested();

private:
    void serve();

    std::filesystem::path folder_;
    int lockFd_ = -1;
    std::unique_ptr<QLocalServer> server_;
};

}  // namespace nimbuscrate
