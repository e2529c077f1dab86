// Nimbuscrate: the tray app.
//
//   Nimbuscrate
//       runs the app (tray item and main window); when it already runs for
//       this user, shows that instance's window and ends.
//   Nimbuscrate app.nimbuscrate:/oauthredirect?code=...&state=...
//       the URL-scheme handler side: the desktop entry runs this for an
//       "app.nimbuscrate:" URL, and this instance hands the URL to the
//       running app's sign-in and exits.
//
// Exit status: 0 when the app ended by its quit command or a signal, when
// the running instance showed its window, or when it took the URL; 1 when
// it refused the URL, no instance runs to take it, or the app could not
// start; 2 for a wrong invocation, or no display to run the app on.

#include <cctype>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>

#include "app/views/DesktopAppProgram.h"
#include "platform/websession/CallbackChannel.h"

namespace {

constexpr std::string_view kCallbackPrefix = "app.nimbuscrate:";

int usage() {
    std::cerr << "usage: Nimbuscrate [" << kCallbackPrefix << "...]\n";
    return 2;
}

bool isCallbackURL(std::string_view text) {
    if (text.size() < kCallbackPrefix.size()) return false;
    for (std::size_t i = 0; i < kCallbackPrefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != kCallbackPrefix[i]) return false;
    }
    return true;
}

// A display server to connect to, or a platform named explicitly (such as
// "offscreen"); without one the toolkit could only abort.
bool hasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 1) {
        if (!hasDisplay()) {
            std::cerr << "Nimbuscrate: there is no display to show the app on (DISPLAY and WAYLAND_DISPLAY are "
                         "unset).\n";
            return usage();
        }
        try {
            return nimbuscrate::runDesktopApp(argc, argv);
        } catch (const std::exception& error) {
            std::cerr << "Nimbuscrate: " << error.what() << "\n";
            return 1;
        }
    }
    if (argc != 2 || !isCallbackURL(argv[1])) return usage();
    try {
        std::string reply;
        switch (nimbuscrate::forwardCallback(nimbuscrate::CallbackChannel::defaultSocketPath(), argv[1], &reply)) {
            case nimbuscrate::ForwardResult::accepted: return 0;
            case nimbuscrate::ForwardResult::refused:
                std::cerr << "Nimbuscrate: the running app refused the link (" << reply << ").\n";
                return 1;
            case nimbuscrate::ForwardResult::noListener:
                std::cerr << "Nimbuscrate: the app is not running; start it and sign in again.\n";
                return 1;
        }
    } catch (const std::exception& error) {
        std::cerr << "Nimbuscrate: " << error.what() << "\n";
        return 1;
    }
    return 1;
}
