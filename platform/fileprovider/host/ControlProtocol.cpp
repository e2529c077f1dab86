#include "platform/fileprovider/host/ControlProtocol.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace nimbuscrate::fp::host {

std::filesystem::path controlSocketPath(const std::filesystem::path& runtimeDirectory) {
    return runtimeDirectory / "nimbuscrate" / "fileprovider.sock";
}

std::filesystem::path defaultRuntimeDirectory() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) return runtime;
    return std::filesystem::path("/tmp") / ("nimbuscrate-runtime-" + std::to_string(::getuid()));
}

nlohmann::json toJSON(const Domain& domain) {
    return {{"identifier", domain.identifier}, {"displayName", domain.displayName}};
}

Domain domainFromJSON(const nlohmann::json& json) {
    if (!json.is_object()) throw std::invalid_argument("\"domain\" must be an object");
    auto identifier = json.find("identifier");
    if (identifier == json.end() || !identifier->is_string()) {
        throw std::invalid_argument("\"domain\" needs an \"identifier\" text");
    }
    Domain domain;
    domain.identifier = identifier->get<std::string>();
    auto name = json.find("displayName");
    if (name != json.end()) {
        if (!name->is_string()) throw std::invalid_argument("\"displayName\" must be a text");
        domain.displayName = name->get<std::string>();
    }
    return domain;
}

nlohmann::json toJSON(const Error& error) {
    nlohmann::json json = {{"domain", error.domain}, {"code", error.code}};
    if (error.userInfo) {
        nlohmann::json info = nlohmann::json::object();
        if (error.userInfo->description) {
            info["description"] = *error.userInfo->description;
        } else if (error.userInfo->underlying) {
            // The underlying error cannot travel; its text does.
            info["description"] = error.localizedDescription();
        }
        json["userInfo"] = info;
    }
    return json;
}

Error errorFromJSON(const nlohmann::json& json) {
    Error error;
    if (!json.is_object()) return channelError("The host sent an unreadable error.");
    error.domain = json.value("domain", std::string(kCocoaErrorDomain));
    error.code = json.value("code", static_cast<long>(CocoaErrorCode::connectionReplyInvalid));
    auto info = json.find("userInfo");
    if (info != json.end() && info->is_object()) {
        ErrorUserInfo userInfo;
        auto description = info->find("description");
        if (description != info->end() && description->is_string()) userInfo.description = description->get<std::string>();
        error.userInfo = userInfo;
    }
    return error;
}

Error channelError(const std::string& description) {
    return Error{kCocoaErrorDomain, CocoaErrorCode::connectionReplyInvalid, ErrorUserInfo{description, nullptr}};
}

bool isValidDomainIdentifier(const std::string& identifier) {
    if (identifier.empty() || identifier.size() > 128 || identifier == "." || identifier == "..") return false;
    for (unsigned char c : identifier) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

bool isValidDisplayName(const std::string& name) {
    if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
    return name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

}  // namespace nimbuscrate::fp::host
