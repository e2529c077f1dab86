#include "tools/localservice/AccountApi.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <stdexcept>

namespace nimbuscrate::localservice {

namespace {

using Json = nlohmann::json;

constexpr std::string_view kAccountPath = "/api/v1/e2ee/account";
constexpr std::string_view kBootstrapPath = "/api/v1/mobile/account/bootstrap";

// Safe integers: what every client of the account API reads a number as.
constexpr std::int64_t kLargestSafeInteger = (std::int64_t{1} << 53) - 1;

// Whether every number in the value is an integer within the safe range.
bool integersOnly(const Json& value) {
    switch (value.type()) {
        case Json::value_t::number_float: return false;
        case Json::value_t::number_unsigned:
            return value.get<std::uint64_t>() <= static_cast<std::uint64_t>(kLargestSafeInteger);
        case Json::value_t::number_integer: {
            auto number = value.get<std::int64_t>();
            return number >= -kLargestSafeInteger && number <= kLargestSafeInteger;
        }
        case Json::value_t::object:
            for (const auto& [key, member] : value.items()) {
                if (!integersOnly(member)) return false;
            }
            return true;
        case Json::value_t::array:
            for (const auto& element : value) {
                if (!integersOnly(element)) return false;
            }
            return true;
        default: return true;
    }
}

// Parses a record given by a test or a client: a JSON object with integer
// numbers only. None when it is not one.
std::optional<Json> parseRecord(std::string_view text) {
    Json value = Json::parse(text, nullptr, false);
    if (value.is_discarded() || !value.is_object() || !integersOnly(value)) return std::nullopt;
    return value;
}

Reply apiError(int status, std::string_view error, std::string_view message) {
    return Reply::json(status, Json{{"error", error}, {"message", message}}.dump());
}

Reply methodNotAllowed(const char* allowed) {
    Reply reply = apiError(405, "method_not_allowed", std::string("This route takes ") + allowed + ".");
    reply.header("Allow", allowed);
    return reply;
}

}  // namespace

const char* const AccountApi::kPlainAccount =
    R"({"accountId":"local-account","format":"nimbuscrate-tink-aes256-v1","mode":"legacy",)"
    R"("onboardingRequired":false,"keyRecord":null,"ownedDriveIds":[],"primaryDriveId":null})";

AccountApi::AccountApi() : account_(kPlainAccount) {}

bool AccountApi::serves(std::string_view path) {
    return path == kAccountPath || path == kBootstrapPath;
}

Reply AccountApi::handle(const IncomingRequest& request) {
    const auto& info = request.info;
    if (info.path == kAccountPath) {
        if (info.method != "GET") return methodNotAllowed("GET");
        return accountReply();
    }
    if (info.path == kBootstrapPath) {
        if (info.method != "POST") return methodNotAllowed("POST");
        return bootstrapReply();
    }
    return apiError(404, "not_found", "No such route.");
}

void AccountApi::setAccount(const std::string& accountJson) {
    if (!parseRecord(accountJson)) {
        throw std::invalid_argument("the account must be a JSON object whose numbers are safe integers");
    }
    std::lock_guard lock(mutex_);
    account_ = accountJson;
}

std::string AccountApi::account() const {
    std::lock_guard lock(mutex_);
    return account_;
}

std::size_t AccountApi::bootstrapCount() const {
    std::lock_guard lock(mutex_);
    return bootstraps_;
}

Reply AccountApi::accountReply() {
    std::lock_guard lock(mutex_);
    return Reply::json(200, account_);
}

Reply AccountApi::bootstrapReply() {
    std::lock_guard lock(mutex_);
    ++bootstraps_;
    Json account = Json::parse(account_);
    Json userId = account.contains("accountId") ? account["accountId"] : Json();
    return Reply::json(200, Json{{"userId", userId}}.dump());
}

void applyAccountSeed(const std::filesystem::path& seedFile, AccountApi& accounts) {
    std::ifstream in(seedFile);
    if (!in) throw std::runtime_error("cannot read seed file " + seedFile.string());
    Json seed = Json::parse(in, nullptr, false);
    if (seed.is_discarded() || !seed.is_object()) throw std::runtime_error("seed file is not a JSON object");
    if (!seed.contains("account")) return;
    try {
        accounts.setAccount(seed["account"].dump());
    } catch (const std::invalid_argument& error) {
        throw std::runtime_error(std::string("malformed seed account: ") + error.what());
    }
}

}  // namespace nimbuscrate::localservice
