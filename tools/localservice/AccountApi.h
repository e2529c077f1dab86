#pragma once

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

#include "tools/localservice/HttpExchange.h"

namespace nimbuscrate::localservice {

// The account API of encrypted accounts, under "/api/v1/" of the account API
// host (the bearer check is the router's):
//
//   GET  e2ee/account              the configured account, exactly as given
//   POST mobile/account/bootstrap  {"userId": <the account's "accountId">}
//
// Every number in a stored or served record is an integer.
//
// Thread-safe; every operation may be called from any thread.
class AccountApi {
public:
    // The account a new service answers with: a plain account without
    // encryption ("mode" "legacy", no key record, no drives).
    static const char* const kPlainAccount;

    AccountApi();

    // Whether the path (decoded, on the account API host) is one of the routes above.
    static bool serves(std::string_view path);
    Reply handle(const IncomingRequest& request);

    // The account GET e2ee/account answers with: a JSON object whose numbers
    // are integers, served byte for byte. Throws std::invalid_argument otherwise.
    void setAccount(const std::string& accountJson);
    std::string account() const;
    // POST mobile/account/bootstrap calls answered so far.
    std::size_t bootstrapCount() const;

private:
    Reply accountReply();
    Reply bootstrapReply();

    // Guards everything below; no other lock is taken under it.
    mutable std::mutex mutex_;
    std::string account_;
    std::size_t bootstraps_ = 0;
};

// Reads the optional "account" member of a seed file (see SeedFile.h) into
// the account API. Throws std::runtime_error with the reason on a bad one.
void applyAccountSeed(const std::filesystem::path& seedFile, AccountApi& accounts);

}  // namespace nimbuscrate::localservice
