// The commit of new encrypted file contents. The resumable upload, the
// pending journal and the commit come with the upload pipeline; until then
// this is the one place where new contents stop, before anything is sent.
#include "shared/encryption-client/E2EEClient.h"

namespace nimbuscrate {

RemoteItem E2EEClient::commitEncryptedFile(const std::filesystem::path&, const std::string&, const E2EEJSON&,
                                           const std::optional<E2EEJSON>&, std::optional<Date>,
                                           const std::optional<std::string>&, bool, std::stop_token) {
    throw E2EEUploadUnavailable();
}

}  // namespace nimbuscrate
