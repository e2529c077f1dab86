#include "app/views/DesktopAppProgram.h"

#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <string>
#include <vector>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>

#include "app/model/DesktopAppModel.h"
#include "app/model/FolderRevealer.h"
#include "app/views/AppController.h"
#include "app/views/DesktopAppModelPort.h"
#include "app/views/DesktopLinkOpener.h"
#include "app/views/QtUiExecutor.h"
#include "app/views/SecurityKeyPinDialog.h"
#include "app/views/SingleInstance.h"
#include "platform/core/DataPaths.h"
#include "platform/defaults/Defaults.h"
#include "platform/fileprovider/host/ControlClient.h"
#include "platform/fileprovider/host/ControlProtocol.h"
#include "platform/http/HttpTransport.h"
#include "platform/log/Logger.h"
#include "platform/passkeys/LibFido2.h"
#include "platform/passkeys/SecurityKeyAuthenticator.h"
#include "platform/tasks/Clock.h"
#include "platform/tasks/TaskPool.h"
#include "platform/websession/CallbackChannel.h"
#include "platform/websession/UrlOpener.h"
#include "platform/websession/WebAuthenticationSession.h"
#include "shared/encryption-client/E2EEClient.h"
#include "shared/session/KeychainStore.h"
#include "shared/session/OcisClient.h"
#include "shared/session/ServiceEndpoints.h"

namespace nimbuscrate {

namespace {

// The write end of the pipe the signal handler writes to; the read end
// wakes the event loop, which quits.
int signalPipe[2] = {-1, -1};

void onQuitSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

// Quits the application cleanly (the event loop returns, everything is
// destroyed in order) on SIGTERM, SIGINT and SIGHUP.
class QuitOnSignals {
public:
    QuitOnSignals() {
        if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) throw std::system_error(errno, std::generic_category());
        notifier_ = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [] {
            char drained[16];
            while (::read(signalPipe[0], drained, sizeof drained) > 0) {
            }
            QCoreApplication::quit();
        });
        struct sigaction action {};
        action.sa_handler = onQuitSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
    }
    ~QuitOnSignals() {
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        for (int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
        notifier_.reset();
        ::close(signalPipe[0]);
        ::close(signalPipe[1]);
        signalPipe[0] = signalPipe[1] = -1;
    }

private:
    std::unique_ptr<QSocketNotifier> notifier_;
};

const Logger& appLog() {
    static const Logger logger("app.nimbuscrate.desktop", "app");
    return logger;
}

// The program that opens the sign-in page: the desktop's browser, or in
// development builds the program NIMBUSCRATE_DEV_URL_OPENER names (a
// browser set up for the local service, or a test's recorder).
std::vector<std::string> signInOpenerCommand() {
#ifdef NIMBUSCRATE_DEVELOPMENT
    if (const char* program = std::getenv("NIMBUSCRATE_DEV_URL_OPENER"); program && *program) return {program};
#endif
    return {"xdg-open"};
}

// One line when the state the tray and the window show changes, for the
// log readers and the tests that watch the app run.
class StateLog {
public:
    void record(const AppViewState& s) {
        const std::string line = std::string("state: signed in ") + (s.isSignedIn ? "yes" : "no") + ", mounted " +
                                 (s.isMounted ? "yes" : "no") + ", locked " +
                                 (s.encryptionNeedsUnlock ? "yes" : "no") + ", uploading " +
                                 (s.isUploading ? "yes" : "no");
        if (line == last_) return;
        last_ = line;
        appLog().info(line);
    }

private:
    std::string last_;
};

}  // namespace

int runDesktopApp(int argc, char** argv) {
    setProgramName("Nimbuscrate");
    QApplication application(argc, argv);
    QApplication::setApplicationName("Nimbuscrate");
    QApplication::setApplicationDisplayName("Nimbuscrate");
    QApplication::setQuitOnLastWindowClosed(false);

    SingleInstance instance(SingleInstance::defaultFolder());
    if (!instance.becomeFirst()) {
        if (instance.askFirstToShow()) {
            appLog().info("Nimbuscrate is already running; its window was shown");
            return 0;
        }
        std::cerr << "Nimbuscrate: another instance holds the lock but did not answer.\n";
        return 1;
    }
    QuitOnSignals quitOnSignals;

    QObject uiContext;
    QtUiExecutor ui(&uiContext);
    // Answers the domain service's calls that fail while `workers` shuts down.
    TaskPool answers(1);
    TaskPool workers(4);
    CommandUrlOpener browser;
    CommandUrlOpener signInBrowser(signInOpenerCommand());
    WebAuthenticator web(ui, signInBrowser);
    // Sign-in callbacks arrive from the URL-scheme handler (a later
    // "Nimbuscrate app.nimbuscrate:..." run) on the listener's thread.
    CallbackListener callbacks(CallbackChannel::defaultSocketPath(), "app.nimbuscrate",
                               [&web](std::string url) { web.deliverCallback(std::move(url)); });
    DesktopFolderRevealer revealer(workers, browser);
    LibFido2 fido;
    SecurityKeyPinDialog pinDialog(ui);
    SecurityKeyAuthenticator passkeys(fido, pinDialog, workers);
    auto domains = std::make_shared<fp::host::ChannelDomainService>(
        fp::host::controlSocketPath(fp::host::defaultRuntimeDirectory()), workers, answers);

    int status = 0;
    {
        DesktopAppModel model(DesktopAppModel::Services{ui,
                                                        workers,
                                                        Clock::system(),
                                                        KeychainStore(KeychainStore::kSessionService,
                                                                      KeychainStore::kSessionAccount),
                                                        OcisClient::shared(),
                                                        E2EEClient::shared(),
                                                        domains,
                                                        Defaults::standard(),
                                                        Defaults::group(),
                                                        revealer,
                                                        web,
                                                        HttpTransport::shared(),
                                                        passkeys,
                                                        webAppURL().host()});
        DesktopAppModelPort port(model);
        StateLog stateLog;
        stateLog.record(port.state());
        QObject::connect(&port, &AppModelPort::stateChanged, &port, [&] { stateLog.record(port.state()); });
        DesktopLinkOpener links;
        AppController controller(port, links, AppLinks{webAppURL().string(), signUpURL().string()}, {});
        QObject::connect(&instance, &SingleInstance::showRequested, &controller, &AppController::showMainWindow);
        controller.start();
        status = QApplication::exec();
    }
    appLog().info("Nimbuscrate quits");
    return status;
}

}  // namespace nimbuscrate
