#include "shared/session/RemoteItem.h"

#include <functional>
#include <nlohmann/json.hpp>

#include "platform/core/UnicodeText.h"

namespace nimbuscrate {

const RemoteItem& RemoteItem::root() {
    static const RemoteItem item{
        "root", "root", "/", "Nimbuscrate", true, 0, Date::distantPast(), "root", std::nullopt,
    };
    return item;
}

bool RemoteItem::operator==(const RemoteItem& other) const {
    return canonicallyEqual(id, other.id) && canonicallyEqual(parentID, other.parentID) &&
           canonicallyEqual(path, other.path) && canonicallyEqual(name, other.name) &&
           isDirectory == other.isDirectory && size == other.size && modifiedAt == other.modifiedAt &&
           canonicallyEqual(etag, other.etag) && contentType.has_value() == other.contentType.has_value() &&
           (!contentType || canonicallyEqual(*contentType, *other.contentType));
}

std::size_t RemoteItemHash::operator()(const RemoteItem& item) const {
    std::size_t seed = 0;
    auto feed = [&seed](std::size_t value) { seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2); };
    std::hash<std::string> text;
    feed(text(canonicalComposition(item.id)));
    feed(text(canonicalComposition(item.parentID)));
    feed(text(canonicalComposition(item.path)));
    feed(text(canonicalComposition(item.name)));
    feed(std::hash<bool>{}(item.isDirectory));
    feed(std::hash<std::int64_t>{}(item.size));
    feed(std::hash<double>{}(item.modifiedAt.referenceSeconds()));
    feed(text(canonicalComposition(item.etag)));
    feed(item.contentType ? 1 : 0);
    if (item.contentType) feed(text(canonicalComposition(*item.contentType)));
    return seed;
}

nlohmann::json toJSON(const RemoteItem& item) {
    nlohmann::json object = {
        {"id", item.id},
        {"parentID", item.parentID},
        {"path", item.path},
        {"name", item.name},
        {"isDirectory", item.isDirectory},
        {"size", item.size},
        {"modifiedAt", item.modifiedAt.referenceSeconds()},
        {"etag", item.etag},
    };
    if (item.contentType) object["contentType"] = *item.contentType;
    return object;
}

RemoteItem remoteItemFromJSON(const nlohmann::json& json) {
    const auto number = json.at("modifiedAt");
    if (!number.is_number()) throw nlohmann::json::type_error::create(302, "modifiedAt is not a number", &json);
    const auto size = json.at("size");
    if (!size.is_number_integer()) throw nlohmann::json::type_error::create(302, "size is not an integer", &json);
    const auto isDirectory = json.at("isDirectory");
    if (!isDirectory.is_boolean()) throw nlohmann::json::type_error::create(302, "isDirectory is not a bool", &json);
    RemoteItem item;
    item.id = json.at("id").get<std::string>();
    item.parentID = json.at("parentID").get<std::string>();
    item.path = json.at("path").get<std::string>();
    item.name = json.at("name").get<std::string>();
    item.isDirectory = isDirectory.get<bool>();
    item.size = size.get<std::int64_t>();
    item.modifiedAt = Date::fromReferenceSeconds(number.get<double>());
    item.etag = json.at("etag").get<std::string>();
    if (auto it = json.find("contentType"); it != json.end() && !it->is_null()) {
        item.contentType = it->get<std::string>();
    }
    return item;
}

}  // namespace nimbuscrate
