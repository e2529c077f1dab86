#include "platform/http/UrlBuilding.h"

#include <curl/curl.h>

#include <memory>
#include <optional>
#include <stdexcept>

namespace nimbuscrate {

namespace {

struct UrlHandleDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlHandleDeleter>;

UrlHandle handleFor(const Url& url) {
    UrlHandle handle(curl_url());
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.string().c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        throw std::invalid_argument("not an absolute URL: " + url.string());
    }
    return handle;
}

Url urlOf(CURLU* handle) {
    char* text = nullptr;
    if (curl_url_get(handle, CURLUPART_URL, &text, 0) != CURLUE_OK) throw std::invalid_argument("URL cannot be formed");
    std::string owned(text);
    curl_free(text);
    auto url = Url::parse(owned);
    if (!url) throw std::invalid_argument("URL cannot be formed: " + owned);
    return *url;
}

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string percentEncoded(std::string_view text, std::string_view allowed) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (isUnreserved(c) || (c < 0x80 && allowed.find(ch) != std::string_view::npos)) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
    return out;
}

std::optional<std::string> percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return out;
}

Url appendingPathComponent(const Url& url, std::string_view component, bool directory) {
    UrlHandle handle = handleFor(url);
    std::string path = url.path();
    if (path.empty() || path.back() != '/') path.push_back('/');
    path += percentEncoded(component, kPathAllowed);
    if (directory && (path.empty() || path.back() != '/')) path.push_back('/');
    if (curl_url_set(handle.get(), CURLUPART_PATH, path.c_str(), 0) != CURLUE_OK) {
        throw std::invalid_argument("path cannot be set: " + path);
    }
    return urlOf(handle.get());
}

Url withQueryItems(const Url& url, const std::vector<std::pair<std::string, std::string>>& items) {
    UrlHandle handle = handleFor(url);
    std::string query;
    for (const auto& [name, value] : items) {
        if (!query.empty()) query.push_back('&');
        query += percentEncoded(name, kQueryValueAllowed);
        query.push_back('=');
        query += percentEncoded(value, kQueryValueAllowed);
    }
    if (curl_url_set(handle.get(), CURLUPART_QUERY, query.empty() ? nullptr : query.c_str(), 0) != CURLUE_OK) {
        throw std::invalid_argument("query cannot be set: " + query);
    }
    return urlOf(handle.get());
}

}  // namespace nimbuscrate
