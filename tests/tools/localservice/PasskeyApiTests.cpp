// The passkey list of the account API: signed add and remove intents checked
// against the account's public key, generations, the limit of ten, and the
// knobs. The intents were signed by the openssl command line
// (tools/vectors/make_unlock.py).

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>

#include "tests/tools/localservice/ServiceFixture.h"
#include "tools/localservice/AccountApi.h"

namespace nimbuscrate::localservice::testing {
namespace {

using Json = nlohmann::json;

const Json& intents() {
    static const Json fixture = [] {
        std::ifstream in(std::string(NIMBUSCRATE_SOURCE_DIR) + "/tests/tools/localservice/fixtures/passkey_intents.json");
        return Json::parse(in);
    }();
    return fixture;
}

class localservice_passkeys : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        const Json account = {{"accountId", intents()["account"]},
                              {"format", "nimbuscrate-tink-aes256-v1"},
                              {"mode", "required"},
                              {"onboardingRequired", false},
                              {"keyRecord", {{"version", 1}, {"accountId", intents()["account"]},
                                             {"publicKey", intents()["publicKey"]}}},
                              {"ownedDriveIds", Json::array()},
                              {"primaryDriveId", nullptr}};
        service->accountApi().setAccount(account.dump());
    }

    PasskeyApi& passkeys() { return service->accountApi().passkeys(); }
    static std::string url(const std::string& tail) {
        return "https://" + accountApiHost() + "/api/v1/e2ee/account/passkeys" + tail;
    }
    Reply list() { return client->get(url(""), {bearer()}); }
    Reply post(const std::string& tail, const Json& body) {
        return client->send("POST", url(tail), {bearer(), "Content-Type: application/json"}, body.dump());
    }
    const Json& add(int generation) { return intents()["adds"][generation - 1]; }
};

TEST_F(localservice_passkeys, ChangesFollowTheListsGenerationAndAreListedAsSent) {
    EXPECT_EQ(Json::parse(list().body), Json({{"accountId", intents()["account"]}, {"generation", 1},
                                              {"items", Json::array()}}));
    const Reply added = post("", add(1));
    ASSERT_EQ(added.status, 200) << added.body;
    EXPECT_EQ(Json::parse(added.body), Json({{"generation", 2}}));
    EXPECT_EQ(post("", add(1)).status, 409);  // the same generation again
    EXPECT_EQ(post("", add(3)).status, 409);  // one ahead
    const Json listed = Json::parse(list().body);
    EXPECT_EQ(listed["generation"], 2);
    EXPECT_EQ(listed["items"], Json::array({add(1)}));

    EXPECT_EQ(post("/remove", intents()["remove"]).status, 200);
    EXPECT_EQ(Json::parse(list().body)["items"], Json::array());
    EXPECT_EQ(passkeys().generation(), 3);
    EXPECT_EQ(passkeys().acceptedIntents().size(), 2u);
}

TEST_F(localservice_passkeys, IntentsMustBeSignedByTheAccountForTheirRoute) {
    const std::pair<std::string, Json> refused[] = {
        {"a signature over another value", intents()["badSignature"]},
        {"signed by another key", intents()["signedByAnotherKey"]},
        {"for another account", intents()["otherAccount"]},
        {"a remove purpose on the add route", intents()["wrongPurpose"]},
        {"no signature", Json({{"value", add(1)["value"]}})},
        {"not an intent", Json::array()},
    };
    for (const auto& [name, body] : refused) {
        SCOPED_TRACE(name);
        const long status = post("", body).status;
        EXPECT_TRUE(status == 400 || status == 403) << status;
    }
    EXPECT_EQ(post("/remove", add(1)).status, 403);  // an add on the remove route
    EXPECT_EQ(passkeys().count(), 0u);
    EXPECT_EQ(passkeys().generation(), 1);
    EXPECT_EQ(post("/remove", intents()["remove"]).status, 409);  // stale, and nothing to remove
}

TEST_F(localservice_passkeys, TenPasskeysAreTheLimit) {
    for (int generation = 1; generation <= 10; ++generation) ASSERT_EQ(post("", add(generation)).status, 200);
    EXPECT_EQ(post("", add(11)).status, 409);
    EXPECT_EQ(passkeys().count(), 10u);
}

TEST_F(localservice_passkeys, KnobsStoreThenFailAndServeMalformedLists) {
    passkeys().failAfterStore(500);
    EXPECT_EQ(post("", add(1)).status, 500);
    EXPECT_EQ(passkeys().count(), 1u);
    passkeys().failAfterStore(0);
    EXPECT_NE(post("", add(2)).result, CURLE_OK);
    EXPECT_EQ(passkeys().count(), 2u);
    passkeys().storeChangedEnvelope();
    EXPECT_EQ(post("", add(3)).status, 200);
    const Json items = Json::parse(list().body)["items"];
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[2]["value"]["generation"], 3);
    EXPECT_NE(items[2]["value"]["passkey"]["envelope"], add(3)["value"]["passkey"]["envelope"]);

    using Kind = PasskeyApi::MalformedList;
    passkeys().serveMalformedList(Kind::itemAtListGeneration);
    EXPECT_EQ(Json::parse(list().body)["generation"], 3);
    passkeys().serveMalformedList(Kind::generationZero);
    EXPECT_EQ(Json::parse(list().body)["generation"], 0);
    passkeys().serveMalformedList(Kind::elevenItems);
    EXPECT_EQ(Json::parse(list().body)["items"].size(), 11u);
    passkeys().serveMalformedList(Kind::duplicate);
    const Json duplicated = Json::parse(list().body)["items"];
    ASSERT_EQ(duplicated.size(), 4u);
    EXPECT_EQ(duplicated[3], duplicated[0]);
    EXPECT_EQ(Json::parse(list().body)["generation"], 4);  // each knob served once
}

}  // namespace
}  // namespace nimbuscrate::localservice::testing
