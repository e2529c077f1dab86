// nimbuscrate-dev-session: development builds only. Puts a signed-in session
// into the shared secret store, the way the app's sign-in will, so the
// extension can run against the local service before interactive sign-in
// exists.
//
//   nimbuscrate-dev-session import FILE        store the session JSON in FILE
//   nimbuscrate-dev-session install-keys FILE  store the unlocked key set in FILE
//                                              for the stored session, as the
//                                              app's unlock will
//   nimbuscrate-dev-session show               print the stored session, tokens hidden
//   nimbuscrate-dev-session clear              sign out: delete the session (and its keys)

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "shared/encryption/E2EEJSON.h"
#include "shared/session/KeychainStore.h"

using namespace nimbuscrate;

namespace {

// The secret item the app's unlock writes per session.
constexpr const char* kKeysService = "app.nimbuscrate.e2ee.keys";

int usage() {
    std::cerr << "usage: nimbuscrate-dev-session import FILE | install-keys FILE | show | clear\n";
    return 2;
}

int importSession(const std::string& file) {
    std::ifstream in(file);
    if (!in) {
        std::cerr << "nimbuscrate-dev-session: cannot read " << file << "\n";
        return 1;
    }
    std::stringstream text;
    text << in.rdbuf();
    const DesktopSession session = DesktopSession::fromJSON(text.str());  // refuses what the programs could not read
    const KeychainStore& store = KeychainStore::session();
    const auto lock = store.lock();
    store.save(bytesOf(session.toJSON()));
    std::cout << "stored session " << session.sessionID.value_or("(no identifier)") << "\n";
    return 0;
}

// The unlocked key set goes where the extension reads it: the keys item of
// the stored session's identifier.
int installKeys(const std::string& file) {
    std::ifstream in(file);
    if (!in) {
        std::cerr << "nimbuscrate-dev-session: cannot read " << file << "\n";
        return 1;
    }
    std::stringstream text;
    text << in.rdbuf();
    const E2EEJSON keys = E2EEJSON::parse(text.str());
    const E2EEJSON& accountId = keys.member("accountId");
    if (!(keys.member("version") == E2EEJSON(1)) || !accountId.isString() || !keys.member("publicKey").isObject() ||
        !keys.member("signingKey").isObject() || !keys.member("root").isString()) {
        std::cerr << "nimbuscrate-dev-session: " << file << " is not an unlocked key set\n";
        return 1;
    }
    const auto session = KeychainStore::session().loadSession();
    if (!session || !session->sessionID) {
        std::cerr << "nimbuscrate-dev-session: no stored session with an identifier; import one first\n";
        return 1;
    }
    KeychainStore(kKeysService, *session->sessionID).save(bytesOf(keys.canonicalString()));
    std::cout << "stored the keys of account " << *accountId.stringValue() << " for session " << *session->sessionID
              << "\n";
    return 0;
}

int showSession() {
    const auto session = KeychainStore::session().loadSession();
    if (!session) {
        std::cout << "no session\n";
        return 0;
    }
    std::cout << "sessionID: " << session->sessionID.value_or("(none)") << "\n"
              << "expiresAt (Unix seconds): " << session->tokens.expiresAt.unixSeconds() << "\n";
    if (session->drive) {
        std::cout << "drive: " << session->drive->name << " (" << session->drive->id << ") "
                  << session->drive->webDAVURL.string() << "\n";
    } else {
        std::cout << "drive: (none)\n";
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::string command = argc >= 2 ? argv[1] : "";
        if (command == "import" && argc == 3) return importSession(argv[2]);
        if (command == "install-keys" && argc == 3) return installKeys(argv[2]);
        if (command == "show" && argc == 2) return showSession();
        if (command == "clear" && argc == 2) {
            // As sign-out: the session's keys first, then the session.
            const auto session = KeychainStore::session().loadSession();
            if (session && session->sessionID) KeychainStore(kKeysService, *session->sessionID).deleteItem();
            KeychainStore::session().deleteItem();
            return 0;
        }
        return usage();
    } catch (const std::exception& error) {
        std::cerr << "nimbuscrate-dev-session: " << error.what() << "\n";
        return 1;
    }
}
