#include "platform/fileprovider/host/ItemCoding.h"

#include <stdexcept>

namespace nimbuscrate::fp::host {

std::string hexOf(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (auto byte : bytes) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 15]);
    }
    return text;
}

Bytes bytesOfHex(const std::string& text) {
    auto value = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw std::invalid_argument("not a hexadecimal text");
    };
    if (text.size() % 2 != 0) throw std::invalid_argument("a hexadecimal text has an even length");
    Bytes bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(value(text[i]) * 16 + value(text[i + 1])));
    }
    return bytes;
}

nlohmann::json toJSON(const Item& item) {
    nlohmann::json json = {{"identifier", item.itemIdentifier()},
                           {"parent", item.parentItemIdentifier()},
                           {"filename", item.filename()},
                           {"folder", item.isFolder()}};
    if (auto size = item.documentSize(); size && *size) json["size"] = **size;
    if (auto modified = item.contentModificationDate(); modified && *modified) json["modified"] = (*modified)->referenceSeconds();
    if (auto capabilities = item.capabilities()) json["capabilities"] = *capabilities;
    if (auto version = item.itemVersion()) {
        json["version"] = {{"content", hexOf(version->content)}, {"metadata", hexOf(version->metadata)}};
    }
    return json;
}

ItemPtr itemFromJSON(const nlohmann::json& json) {
    try {
        ItemProperties properties;
        properties.identifier = json.at("identifier").get<std::string>();
        properties.parent = json.at("parent").get<std::string>();
        properties.filename = json.at("filename").get<std::string>();
        const bool folder = json.value("folder", false);
        properties.contentType = folder ? ContentType::folder() : ContentType::data();
        if (folder) {
            properties.documentSize = std::optional<std::int64_t>();
        } else if (json.contains("size")) {
            properties.documentSize = std::optional<std::int64_t>(json.at("size").get<std::int64_t>());
        }
        if (json.contains("modified")) {
            properties.contentModificationDate = std::optional<Date>(Date::fromReferenceSeconds(json.at("modified").get<double>()));
        }
        if (json.contains("capabilities")) properties.capabilities = json.at("capabilities").get<Capabilities>();
        if (json.contains("version")) {
            const auto& version = json.at("version");
            properties.version = ItemVersion{bytesOfHex(version.at("content").get<std::string>()),
                                             bytesOfHex(version.at("metadata").get<std::string>())};
        }
        return ItemSnapshot::make(std::move(properties));
    } catch (const nlohmann::json::exception& error) {
        throw std::invalid_argument(std::string("An item is malformed: ") + error.what());
    }
}

}  // namespace nimbuscrate::fp::host
