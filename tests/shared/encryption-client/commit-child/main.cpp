// A process that commits one file as a new encrypted file at the drive root
// through its own encryption client, for the tests that kill it part way and
// start it again:
//
//   e2ee-commit-child <state folder> <secrets folder> <file> <name>
//
// The session and the unlocked keys are read from the secrets folder; the
// service is the one NIMBUSCRATE_DEV_SERVICE and NIMBUSCRATE_DEV_CA_FILE name.
// Exits 0 and prints the item's identifier once the file is committed;
// prints the error and exits 1 otherwise.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>

#include "platform/http/HttpTransport.h"
#include "platform/tasks/Clock.h"
#include "shared/encryption-client/E2EEClient.h"
#include "shared/session/DesktopError.h"
#include "shared/session/KeychainStore.h"
#include "shared/session/MappingStore.h"
#include "shared/session/ServiceEndpoints.h"

int main(int argc, char** argv) {
    using namespace nimbuscrate;
    if (argc != 5) {
        std::fprintf(stderr, "usage: e2ee-commit-child <state folder> <secrets folder> <file> <name>\n");
        return 2;
    }
    const std::filesystem::path state = argv[1];
    const std::filesystem::path secrets = argv[2];
    try {
        E2EEClient::Credentials credentials;
        credentials.session = [secrets] {
            return KeychainStore(KeychainStore::kSessionService, KeychainStore::kSessionAccount,
                                 KeychainBackends::inDirectory(secrets))
                .loadSession();
        };
        credentials.token = [credentials](std::stop_token) {
            const std::optional<DesktopSession> session = credentials.session();
            if (!session) throw DesktopError::notAuthenticated();
            return session->tokens.accessToken;
        };
        credentials.secret = [secrets](const std::string& service,
                                       const std::string& account) -> std::shared_ptr<E2EESecretStore> {
            return std::make_shared<KeychainStore>(service, account, KeychainBackends::inDirectory(secrets));
        };
        MappingStore mapping(state / "mapping");
        E2EEClient client(E2EEClient::Services{HttpTransport::shared(), credentials, mapping, Clock::system(),
                                               accountAPIURL(), state, 1});
        const RemoteItem item = client.createEncryptedItem(argv[4], RemoteItem::root(), false,
                                                           std::filesystem::path(argv[3]),
                                                           Date::fromUnixSeconds(1'700'000'000), {});
        std::printf("%s\n", item.id.c_str());
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "commit failed: %s\n", error.what());
        return 1;
    }
}
