// The account API of encrypted accounts: the account, its bootstrap, the
// paged listings of node and file records, node writes and their knobs.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>

#include "tests/tools/localservice/ServiceFixture.h"
#include "tools/localservice/AccountApi.h"

namespace nimbuscrate::localservice::testing {
namespace {

using Json = nlohmann::json;

std::string apiUrl(const std::string& path) { return "https://" + accountApiHost() + "/api/v1/" + path; }

class localservice_account_api : public ServiceTest {
protected:
    AccountApi& api() { return service->accountApi(); }

    Reply get(const std::string& path) { return client->get(apiUrl(path), {bearer()}); }
    Reply post(const std::string& path, const std::string& body, bool json = true) {
        std::vector<std::string> headers{bearer()};
        if (json) headers.emplace_back("Content-Type: application/json");
        return client->send("POST", apiUrl(path), headers, body);
    }
};

// An encrypted account as a test configures it (the text keeps its member
// order and blanks, which the service must not change).
const std::string kEncryptedAccount =
    R"({"mode": "required", "accountId": "acct_1", "format": "nimbuscrate-tink-aes256-v1", )"
    R"("onboardingRequired": false, "keyRecord": {"version": 1, "accountId": "acct_1", )"
    R"("publicKey": {"kty": "EC", "crv": "P-256", "ext": true, "key_ops": ["verify"], "x": "eA", "y": "eQ"}}, )"
    R"("ownedDriveIds": ["d1"], "primaryDriveId": "d1"})";

TEST_F(localservice_account_api, AccountIsServedExactlyAsConfigured) {
    auto plain = get("e2ee/account");
    ASSERT_EQ(plain.status, 200) << plain.body;
    EXPECT_EQ(plain.header("content-type"), "application/json");
    EXPECT_EQ(plain.body, AccountApi::kPlainAccount);
    auto parsed = Json::parse(plain.body);
    EXPECT_EQ(parsed["mode"], "legacy");
    EXPECT_TRUE(parsed["keyRecord"].is_null());
    EXPECT_EQ(parsed["onboardingRequired"], false);

    api().setAccount(kEncryptedAccount);
    auto encrypted = get("e2ee/account");
    EXPECT_EQ(encrypted.status, 200);
    EXPECT_EQ(encrypted.body, kEncryptedAccount);
    EXPECT_EQ(api().account(), kEncryptedAccount);
}

TEST_F(localservice_account_api, BootstrapAnswersWithTheAccountsUserId) {
    EXPECT_EQ(api().bootstrapCount(), 0u);
    api().setAccount(kEncryptedAccount);
    for (std::size_t call = 1; call <= 2; ++call) {
        // The client sends no body and no Content-Type.
        auto reply = client->send("POST", apiUrl("mobile/account/bootstrap"), {bearer()}, "", false);
        ASSERT_EQ(reply.status, 200) << reply.body;
        EXPECT_EQ(Json::parse(reply.body), Json({{"userId", "acct_1"}}));
        EXPECT_EQ(api().bootstrapCount(), call);
    }
    api().setAccount(R"({"mode":"legacy"})");
    EXPECT_EQ(Json::parse(post("mobile/account/bootstrap", "").body), Json({{"userId", nullptr}}));
}

TEST_F(localservice_account_api, RoutesNeedALiveBearerTokenAndTheirMethod) {
    struct Case {
        std::string method;
        std::string path;
        std::vector<std::string> headers;
        long status;
    };
    const std::string expired = "Authorization: Bearer " + service->issueTokens().accessToken;
    service->expireAccessToken(expired.substr(std::string("Authorization: Bearer ").size()));
    const std::vector<Case> cases = {
        {"GET", "e2ee/account", {}, 401},
        {"GET", "e2ee/account", {"Authorization: Bearer nope"}, 401},
        {"GET", "e2ee/account", {expired}, 401},
        {"GET", "e2ee/account", {"Authorization: Basic eDp5"}, 401},
        {"POST", "mobile/account/bootstrap", {}, 401},
        {"GET", "e2ee/account", {bearer()}, 200},
        {"POST", "e2ee/account", {bearer()}, 405},
        {"GET", "mobile/account/bootstrap", {bearer()}, 405},
        {"GET", "e2ee/accounts", {bearer()}, 404},
        {"GET", "e2ee/account/", {bearer()}, 404},
    };
    for (const auto& c : cases) {
        auto reply = client->send(c.method, apiUrl(c.path), c.headers, "", c.method == "POST");
        EXPECT_EQ(reply.status, c.status) << c.method << " " << c.path << ": " << reply.body;
        if (c.status == 401) {
            EXPECT_NE(reply.header("www-authenticate").find("Bearer"), std::string::npos);
        }
        if (c.status == 405) {
            EXPECT_EQ(reply.header("allow"), c.method == "GET" ? "POST" : "GET");
        }
    }
    EXPECT_EQ(api().bootstrapCount(), 0u);
    // The routes live on the account API host only.
    EXPECT_EQ(client->get(webUrl("/api/v1/e2ee/account"), {bearer()}).status, 404);
}

TEST_F(localservice_account_api, AccountMustBeAnObjectWithIntegerNumbers) {
    const std::pair<const char*, std::string> refused[] = {
        {"not JSON", "{"},
        {"array", "[]"},
        {"string", R"("acct")"},
        {"fraction", R"({"accountId":"a","version":1.5})"},
        {"integral float", R"({"accountId":"a","version":1.0})"},
        {"exponent", R"({"accountId":"a","version":1e2})"},
        {"beyond safe integers", R"({"accountId":"a","nested":[{"n":9007199254740992}]})"},
        {"below safe integers", R"({"accountId":"a","n":-9007199254740992})"},
        {"trailing text", R"({"accountId":"a"} x)"},
    };
    for (const auto& [what, text] : refused) {
        EXPECT_THROW(api().setAccount(text), std::invalid_argument) << what;
    }
    EXPECT_EQ(api().account(), AccountApi::kPlainAccount);
    const std::string largest = R"({"accountId":"a","n":9007199254740991,"m":-9007199254740991})";
    api().setAccount(largest);
    EXPECT_EQ(get("e2ee/account").body, largest);
}

std::filesystem::path writeSeed(const std::filesystem::path& directory, const std::string& text) {
    std::filesystem::create_directories(directory);
    auto seed = directory / "seed.json";
    std::ofstream(seed) << text;
    return seed;
}

TEST(localservice_account_seed, DemoSeedHasAPlainAccountOnItsDrive) {
    LocalService service({{}, 0, std::filesystem::path(LOCALSERVICE_DEMO_SEED)});
    auto account = Json::parse(service.accountApi().account());
    EXPECT_EQ(account["mode"], "legacy");
    EXPECT_EQ(account["format"], "nimbuscrate-tink-aes256-v1");
    EXPECT_EQ(account["onboardingRequired"], false);
    ASSERT_TRUE(account.contains("keyRecord"));
    EXPECT_TRUE(account["keyRecord"].is_null());
    EXPECT_EQ(account["ownedDriveIds"], Json::array({"demo-nimbuscrate"}));
    EXPECT_EQ(account["primaryDriveId"], "demo-nimbuscrate");
    EXPECT_EQ(service.drives().at(1).id, "demo-nimbuscrate");
}

TEST(localservice_account_seed, SeedAccountIsOptionalAndChecked) {
    auto directory = std::filesystem::temp_directory_path() / ("account-seed-" + randomHex(6));
    {
        LocalService service({directory / "data", 0, writeSeed(directory, R"({"drives": []})")});
        EXPECT_EQ(service.accountApi().account(), AccountApi::kPlainAccount);
    }
    {
        LocalService service({directory / "data", 0, writeSeed(directory, R"({"drives": [], "account": {"accountId": "s"}})")});
        EXPECT_EQ(Json::parse(service.accountApi().account()), Json({{"accountId", "s"}}));
    }
    for (const char* bad : {R"({"drives": [], "account": [1]})", R"({"drives": [], "account": {"v": 0.5}})"}) {
        EXPECT_THROW(LocalService({directory / "data", 0, writeSeed(directory, bad)}), std::runtime_error) << bad;
    }
    std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace nimbuscrate::localservice::testing
