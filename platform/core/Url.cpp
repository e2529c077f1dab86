#include "platform/core/Url.h"

#include <curl/curl.h>

#include <cctype>
#include <memory>

namespace nimbuscrate {

namespace {

struct UrlHandleDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};

std::optional<std::string> part(CURLU* handle, CURLUPart which, unsigned flags = 0) {
    char* value = nullptr;
    if (curl_url_get(handle, which, &value, flags) != CURLUE_OK) return std::nullopt;
    std::string out(value);
    curl_free(value);
    return out;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
    if (text.empty() || text.find('\0') != std::string_view::npos) return std::nullopt;
    std::unique_ptr<CURLU, UrlHandleDeleter> handle(curl_url());
    if (!handle) return std::nullopt;
    const std::string owned(text);
    // Only absolute URLs; no guessing of a scheme.
    if (curl_url_set(handle.get(), CURLUPART_URL, owned.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        return std::nullopt;
    }
    Url url;
    auto scheme = part(handle.get(), CURLUPART_SCHEME);
    auto host = part(handle.get(), CURLUPART_HOST);
    auto whole = part(handle.get(), CURLUPART_URL);
    if (!scheme || !host || host->empty() || !whole) return std::nullopt;
    url.scheme_ = *scheme;
    url.host_ = *host;
    for (char& c : url.scheme_) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (char& c : url.host_) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    url.text_ = *whole;
    url.path_ = part(handle.get(), CURLUPART_PATH).value_or("/");
    if (url.path_.empty()) url.path_ = "/";
    url.query_ = part(handle.get(), CURLUPART_QUERY).value_or("");
    auto port = part(handle.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
    url.port_ = port ? std::stoi(*port) : 0;
    return url;
}

std::string Url::origin() const {
    return scheme_ + "://" + host_ + ":" + std::to_string(port_);
}

}  // namespace nimbuscrate
