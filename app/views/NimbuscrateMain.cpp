// Nimbuscrate: the tray app. So far only its URL-scheme handler side: the
// desktop entry runs "Nimbuscrate <url>" for an "app.nimbuscrate:" URL, and
// this instance hands the URL to the running app and exits.
//
//   Nimbuscrate app.nimbuscrate:/oauthredirect?code=...&state=...
//
// Exit status: 0 when the running app took the URL, 1 when it refused it or
// no instance runs, 2 for a wrong invocation.

#include <cctype>
#include <iostream>
#include <string>
#include <string_view>

#include "platform/websession/CallbackChannel.h"

namespace {

constexpr std::string_view kCallbackPrefix = "app.nimbuscrate:";

int usage() {
    std::cerr << "usage: Nimbuscrate " << kCallbackPrefix << "...\n";
    return 2;
}

bool isCallbackURL(std::string_view text) {
    if (text.size() < kCallbackPrefix.size()) return false;
    for (std::size_t i = 0; i < kCallbackPrefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != kCallbackPrefix[i]) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
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
