#include "shared/encryption/E2EEJSON.h"

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "platform/core/UnicodeText.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/JSONReadError.h"

namespace nimbuscrate {

namespace {

bool isASCII(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The UTF-16 code units of UTF-8 text, for member name order. Bytes that are
// not well-formed UTF-8 (which the reader never produces) map to single units
// above the surrogate range so that the order stays total and deterministic.
std::u16string utf16Units(std::string_view text) {
    std::u16string units;
    units.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        char32_t codePoint = 0;
        if (byte < 0x80) {
            length = 1;
            codePoint = byte;
        } else if ((byte & 0xE0) == 0xC0) {
            length = 2;
            codePoint = byte & 0x1F;
        } else if ((byte & 0xF0) == 0xE0) {
            length = 3;
            codePoint = byte & 0x0F;
        } else if ((byte & 0xF8) == 0xF0) {
            length = 4;
            codePoint = byte & 0x07;
        }
        bool valid = length > 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                valid = false;
            } else {
                codePoint = (codePoint << 6) | (next & 0x3F);
            }
        }
        if (!valid) {
            units.push_back(static_cast<char16_t>(0xFF00 | byte));
            i += 1;
            continue;
        }
        if (codePoint >= 0x10000) {
            const char32_t offset = codePoint - 0x10000;
            units.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(codePoint));
        }
        i += length;
    }
    return units;
}

bool textEqual(const std::string& a, const std::string& b) {
    if (a == b) return true;
    if (isASCII(a) && isASCII(b)) return false;
    return canonicallyEqual(a, b);
}

const E2EEJSON& nullValue() {
    static const E2EEJSON value;
    return value;
}

// Builds an E2EEJSON straight from the reader's events, so that the reading
// rules hold exactly: every number must be a safe integer, nesting is
// bounded, and member names are unique under canonical equivalence.
class Builder {
public:
    using json = nlohmann::json;

    bool null() { return add(E2EEJSON(nullptr)); }
    bool boolean(bool value) { return add(E2EEJSON(value)); }
    bool number_integer(json::number_integer_t) {
        // The reader reports only numbers written with a minus sign here.
        throw JSONReadError("A negative number is not accepted.");
    }
    bool number_unsigned(json::number_unsigned_t value) {
        if (value > static_cast<json::number_unsigned_t>(E2EEJSON::kMaxSafeInteger)) {
            throw JSONReadError("A number above 2^53 - 1 is not accepted.");
        }
        return add(E2EEJSON(static_cast<std::int64_t>(value)));
    }
    bool number_float(json::number_float_t, const json::string_t&) {
        throw JSONReadError("A number that is not a whole number is not accepted.");
    }
    bool string(json::string_t& value) { return add(E2EEJSON(std::move(value))); }
    bool binary(json::binary_t&) { throw JSONReadError("Binary values are not accepted."); }
    bool start_object(std::size_t) { return open(true); }
    bool key(json::string_t& name) {
        Frame& frame = frames_.back();
        std::string key = E2EEJSON::equivalenceKey(name);
        if (frame.members.count(key) != 0) throw JSONReadError("A member name is repeated in one object.");
        frame.pendingKey = std::move(key);
        frame.pendingName = std::move(name);
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(false); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& error) {
        throw JSONReadError(std::string(error.what()) + " (at byte " + std::to_string(position) + ")");
    }

    E2EEJSON take() {
        if (!root_) throw JSONReadError("The text holds no JSON value.");
        return std::move(*root_);
    }

private:
    struct Frame {
        bool isObject = false;
        E2EEJSON::Array elements;
        E2EEJSON::Object members;
        std::string pendingKey;
        std::string pendingName;
    };

    bool open(bool isObject) {
        if (frames_.size() >= E2EEJSON::kMaxReadDepth) {
            throw JSONReadError("Arrays and objects are nested too deeply.");
        }
        frames_.emplace_back();
        frames_.back().isObject = isObject;
        return true;
    }

    bool close() {
        Frame frame = std::move(frames_.back());
        frames_.pop_back();
        if (frame.isObject) return add(E2EEJSON::fromMembers(std::move(frame.members)));
        return add(E2EEJSON::array(std::move(frame.elements)));
    }

    bool add(E2EEJSON value) {
        if (frames_.empty()) {
            root_ = std::move(value);
            return true;
        }
        Frame& frame = frames_.back();
        if (frame.isObject) {
            frame.members.emplace(std::move(frame.pendingKey), E2EEJSON::Member{std::move(frame.pendingName), std::move(value)});
        } else {
            frame.elements.push_back(std::move(value));
        }
        return true;
    }

    std::vector<Frame> frames_;
    std::optional<E2EEJSON> root_;
};

}  // namespace

E2EEJSON::E2EEJSON(std::string value) : storage_(std::make_shared<const std::string>(std::move(value))) {}

std::string E2EEJSON::equivalenceKey(std::string_view text) {
    if (isASCII(text)) return std::string(text);
    return canonicalComposition(text);
}

E2EEJSON E2EEJSON::object(std::initializer_list<std::pair<std::string, E2EEJSON>> members) {
    return object(std::vector<std::pair<std::string, E2EEJSON>>(members));
}

E2EEJSON E2EEJSON::object(const std::vector<std::pair<std::string, E2EEJSON>>& members) {
    Object map;
    for (const auto& [name, value] : members) {
        map.insert_or_assign(equivalenceKey(name), Member{name, value});
    }
    return E2EEJSON(Storage(std::make_shared<const Object>(std::move(map))));
}

E2EEJSON E2EEJSON::array(std::initializer_list<E2EEJSON> elements) { return array(Array(elements)); }

E2EEJSON E2EEJSON::array(Array elements) {
    return E2EEJSON(Storage(std::make_shared<const Array>(std::move(elements))));
}

E2EEJSON E2EEJSON::fromMembers(Object members) {
    return E2EEJSON(Storage(std::make_shared<const Object>(std::move(members))));
}

E2EEJSON E2EEJSON::parse(std::string_view text) {
    // A raw NUL is never valid in JSON text, and nlohmann's reader takes it
    // for the end of the input, which would silently drop whatever follows.
    if (text.find('\0') != std::string_view::npos) {
        throw JSONReadError("A NUL byte is not accepted in JSON text.");
    }
    Builder builder;
    nlohmann::json::sax_parse(text.data(), text.data() + text.size(), &builder);
    return builder.take();
}

const std::string* E2EEJSON::stringValue() const noexcept {
    if (!isString()) return nullptr;
    return std::get<std::shared_ptr<const std::string>>(storage_).get();
}

std::optional<std::int64_t> E2EEJSON::integerValue() const noexcept {
    if (!isInteger()) return std::nullopt;
    return std::get<std::int64_t>(storage_);
}

const E2EEJSON::Array* E2EEJSON::arrayValue() const noexcept {
    if (!isArray()) return nullptr;
    return std::get<std::shared_ptr<const Array>>(storage_).get();
}

const E2EEJSON::Object* E2EEJSON::objectValue() const noexcept {
    if (!isObject()) return nullptr;
    return std::get<std::shared_ptr<const Object>>(storage_).get();
}

const E2EEJSON& E2EEJSON::member(std::string_view name) const {
    const Object* object = objectValue();
    if (object == nullptr) return nullValue();
    // ASCII names are their own key, so the common lookup allocates nothing.
    const auto found = isASCII(name) ? object->find(name) : object->find(equivalenceKey(name));
    if (found == object->end()) return nullValue();
    return found->second.value;
}

void E2EEJSON::setMember(const E2EEJSON& value, std::string_view name) {
    const Object* object = objectValue();
    if (object == nullptr) return;
    Object copy = *object;
    const auto [position, added] = copy.try_emplace(equivalenceKey(name), Member{std::string(name), value});
    // A name equivalent to one already held replaces only the value; the
    // member keeps the spelling it was stored under.
    if (!added) position->second.value = value;
    storage_ = std::make_shared<const Object>(std::move(copy));
}

void E2EEJSON::removeMember(std::string_view name) {
    const Object* object = objectValue();
    if (object == nullptr) return;
    const std::string key = equivalenceKey(name);
    if (object->count(key) == 0) return;
    Object copy = *object;
    copy.erase(key);
    storage_ = std::make_shared<const Object>(std::move(copy));
}

std::int64_t E2EEJSON::safeInteger() const {
    const auto value = integerValue();
    if (!value || *value < 0 || *value > kMaxSafeInteger) throw E2EEError::invalid();
    return *value;
}

bool E2EEJSON::isNonEmptyObject() const noexcept {
    const Object* object = objectValue();
    return object != nullptr && !object->empty();
}

std::vector<std::string> E2EEJSON::memberNames() const {
    std::vector<std::string> names;
    if (const Object* object = objectValue()) {
        for (const auto& [key, member] : *object) names.push_back(member.name);
    }
    return names;
}

std::string E2EEJSON::quotedJSONString(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    // Working byte by byte is the same as code point by code point: every byte
    // of a multi-byte UTF-8 sequence is 0x80 or above and is copied as it is.
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (byte) {
            case 0x08: out += "\\b"; break;
            case 0x09: out += "\\t"; break;
            case 0x0A: out += "\\n"; break;
            case 0x0C: out += "\\f"; break;
            case 0x0D: out += "\\r"; break;
            case 0x22: out += "\\\""; break;
            case 0x5C: out += "\\\\"; break;
            default:
                if (byte < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(byte));
                    out += escaped;
                } else {
                    out.push_back(c);
                }
        }
    }
    out.push_back('"');
    return out;
}

void E2EEJSON::writeCanonical(std::string& out) const {
    switch (kind()) {
        case Kind::null: out += "null"; return;
        case Kind::boolean: out += std::get<bool>(storage_) ? "true" : "false"; return;
        case Kind::integer: {
            const std::int64_t value = std::get<std::int64_t>(storage_);
            if (value < 0 || value > kMaxSafeInteger) throw E2EEError::invalid();
            out += std::to_string(value);
            return;
        }
        case Kind::string: out += quotedJSONString(*stringValue()); return;
        case Kind::array: {
            out.push_back('[');
            bool first = true;
            for (const E2EEJSON& element : *arrayValue()) {
                if (!first) out.push_back(',');
                first = false;
                element.writeCanonical(out);
            }
            out.push_back(']');
            return;
        }
        case Kind::object: {
            std::vector<std::pair<std::u16string, const Member*>> ordered;
            for (const auto& [key, member] : *objectValue()) ordered.emplace_back(utf16Units(member.name), &member);
            std::sort(ordered.begin(), ordered.end(),
                      [](const auto& a, const auto& b) { return a.first < b.first; });
            out.push_back('{');
            bool first = true;
            for (const auto& [units, member] : ordered) {
                if (!first) out.push_back(',');
                first = false;
                out += quotedJSONString(member->name);
                out.push_back(':');
                member->value.writeCanonical(out);
            }
            out.push_back('}');
            return;
        }
    }
}

std::string E2EEJSON::canonicalString() const {
    std::string out;
    writeCanonical(out);
    return out;
}

nlohmann::json E2EEJSON::encode() const {
    switch (kind()) {
        case Kind::null: return nullptr;
        case Kind::boolean: return std::get<bool>(storage_);
        case Kind::integer: return safeInteger();
        case Kind::string: return *stringValue();
        case Kind::array: {
            nlohmann::json list = nlohmann::json::array();
            for (const E2EEJSON& element : *arrayValue()) list.push_back(element.encode());
            return list;
        }
        case Kind::object: {
            nlohmann::json map = nlohmann::json::object();
            for (const auto& [key, member] : *objectValue()) map[member.name] = member.value.encode();
            return map;
        }
    }
    return nullptr;
}

bool operator==(const E2EEJSON& a, const E2EEJSON& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case E2EEJSON::Kind::null: return true;
        case E2EEJSON::Kind::boolean: return a.boolValue() == b.boolValue();
        case E2EEJSON::Kind::integer: return *a.integerValue() == *b.integerValue();
        case E2EEJSON::Kind::string: return textEqual(*a.stringValue(), *b.stringValue());
        case E2EEJSON::Kind::array: {
            const auto& left = *a.arrayValue();
            const auto& right = *b.arrayValue();
            return left.size() == right.size() && std::equal(left.begin(), left.end(), right.begin());
        }
        case E2EEJSON::Kind::object: {
            const auto& left = *a.objectValue();
            const auto& right = *b.objectValue();
            if (&left == &right) return true;
            if (left.size() != right.size()) return false;
            for (const auto& [key, member] : left) {
                const auto found = right.find(key);
                if (found == right.end() || !(member.value == found->second.value)) return false;
            }
            return true;
        }
    }
    return false;
}

}  // namespace nimbuscrate
