#include "shared/session/DesktopSession.h"

#include <nlohmann/json.hpp>

#include "platform/core/Random.h"

namespace nimbuscrate {

namespace {

using nlohmann::json;

const json& requiredMember(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) throw SessionDecodingError(std::string("missing key \"") + key + "\"");
    return *it;
}

std::string requiredString(const json& object, const char* key) {
    const json& value = requiredMember(object, key);
    if (!value.is_string()) throw SessionDecodingError(std::string("\"") + key + "\" is not a string");
    return value.get<std::string>();
}

double requiredNumber(const json& object, const char* key) {
    const json& value = requiredMember(object, key);
    if (!value.is_number()) throw SessionDecodingError(std::string("\"") + key + "\" is not a number");
    return value.get<double>();
}

const json& requiredObject(const json& object, const char* key) {
    const json& value = requiredMember(object, key);
    if (!value.is_object()) throw SessionDecodingError(std::string("\"") + key + "\" is not an object");
    return value;
}

// Optional members: absent and null both mean "none", as the platform's decoder has it.
const json* optionalMember(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

}  // namespace

DesktopSession DesktopSession::create(OAuthTokens tokens, std::optional<DriveSelection> drive) {
    return DesktopSession{std::move(tokens), std::move(drive), Uuid::random().upperString()};
}

std::string DesktopSession::toJSON() const {
    json object = json::object();
    object["tokens"] = {
        {"accessToken", tokens.accessToken},
        {"refreshToken", tokens.refreshToken},
        {"expiresAt", tokens.expiresAt.referenceSeconds()},
    };
    if (drive) {
        object["drive"] = {{"id", drive->id}, {"name", drive->name}, {"webDAVURL", drive->webDAVURL.string()}};
    }
    if (sessionID) object["sessionID"] = *sessionID;
    return object.dump();
}

DesktopSession DesktopSession::fromJSON(std::string_view text) {
    json document;
    try {
        document = json::parse(text);
    } catch (const json::exception& error) {
        throw SessionDecodingError(std::string("session is not JSON: ") + error.what());
    }
    if (!document.is_object()) throw SessionDecodingError("session is not a JSON object");

    DesktopSession session;
    const json& tokens = requiredObject(document, "tokens");
    session.tokens.accessToken = requiredString(tokens, "accessToken");
    session.tokens.refreshToken = requiredString(tokens, "refreshToken");
    session.tokens.expiresAt = Date::fromReferenceSeconds(requiredNumber(tokens, "expiresAt"));

    if (const json* drive = optionalMember(document, "drive")) {
        if (!drive->is_object()) throw SessionDecodingError("\"drive\" is not an object");
        const std::string urlText = requiredString(*drive, "webDAVURL");
        auto url = Url::parse(urlText);
        if (!url) throw SessionDecodingError("\"webDAVURL\" is not a URL");
        session.drive = DriveSelection{requiredString(*drive, "id"), requiredString(*drive, "name"), *url};
    }
    if (const json* sessionID = optionalMember(document, "sessionID")) {
        if (!sessionID->is_string()) throw SessionDecodingError("\"sessionID\" is not a string");
        session.sessionID = sessionID->get<std::string>();
    }
    return session;
}

}  // namespace nimbuscrate
