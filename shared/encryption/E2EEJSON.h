#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace nimbuscrate {

// The JSON value of every end-to-end-encryption record and account-API body.
//
// Six cases: object, array, string, integer, bool, null (the position is the
// case's tag). There is no floating-point case, and only the whole numbers
// 0 ... 2^53 - 1 (the safe integer range) can be read or written; an integer
// outside that range may exist in memory but every writing operation refuses
// it with E2EEError::invalid.
//
// Payloads are immutable and shared, so copies are cheap and values may be
// used from any thread. Strings and member names compare by Unicode canonical
// equivalence; the canonical text writes code points exactly as held.
class E2EEJSON {
public:
    enum class Kind : std::uint8_t { object = 0, array = 1, string = 2, integer = 3, boolean = 4, null = 5 };

    // One member of an object: the name as held and its value.
    struct Member;
    // Members keyed by the canonical composition of their names, so that
    // canonically equivalent names are one name.
    using Object = std::map<std::string, Member, std::less<>>;
    using Array = std::vector<E2EEJSON>;

    static constexpr std::int64_t kMaxSafeInteger = 9007199254740991;  // 2^53 - 1
    // Deepest nesting of arrays and objects the reader accepts.
    static constexpr std::size_t kMaxReadDepth = 512;

    // Construction (infallible).
    E2EEJSON() noexcept;
    E2EEJSON(std::nullptr_t) noexcept;
    E2EEJSON(bool value) noexcept;
    template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
    E2EEJSON(T value) noexcept;
    E2EEJSON(std::string value);
    E2EEJSON(std::string_view value);
    E2EEJSON(const char* value);

    // An object from name/value pairs; a later pair replaces an earlier one
    // with an equivalent name.
    static E2EEJSON object(std::initializer_list<std::pair<std::string, E2EEJSON>> members = {});
    static E2EEJSON object(const std::vector<std::pair<std::string, E2EEJSON>>& members);
    // An object from a member map (keys must be equivalenceKey of the names).
    static E2EEJSON fromMembers(Object members);
    static E2EEJSON array(std::initializer_list<E2EEJSON> elements = {});
    static E2EEJSON array(Array elements);

    // Reading: one JSON document, by the rules of the value model (only safe
    // integers; no fractions, negatives or exponents anywhere; nesting at most
    // kMaxReadDepth; no member name repeated, canonical equivalents included).
    // Throws JSONReadError.
    static E2EEJSON parse(std::string_view text);

    // The canonical text (no whitespace, members in UTF-16 code-unit order of
    // their names). Throws E2EEError::invalid for an integer outside the safe range.
    std::string canonicalString() const;
    // The quoted form of one text.
    static std::string quotedJSONString(std::string_view text);

    // Writes the value into a generic JSON document (E2EEError::invalid for an
    // integer outside the safe range). The system's own output uses canonicalString.
    nlohmann::json encode() const;

    Kind kind() const noexcept { return static_cast<Kind>(storage_.index()); }
    bool isObject() const noexcept { return kind() == Kind::object; }
    bool isArray() const noexcept { return kind() == Kind::array; }
    bool isString() const noexcept { return kind() == Kind::string; }
    bool isInteger() const noexcept { return kind() == Kind::integer; }
    bool isBool() const noexcept { return kind() == Kind::boolean; }
    bool isNull() const noexcept { return kind() == Kind::null; }

    // Payload accessors; nullptr (or nothing) for another case.
    const std::string* stringValue() const noexcept;
    std::optional<std::int64_t> integerValue() const noexcept;
    const Array* arrayValue() const noexcept;
    const Object* objectValue() const noexcept;

    // The member under the name of an object; null when absent or when the
    // value is not an object.
    const E2EEJSON& member(std::string_view name) const;
    // The payload of a bool; false for every other case.
    bool boolValue() const noexcept;
    // Adds or replaces a member of an object; leaves any other case unchanged.
    void setMember(const E2EEJSON& value, std::string_view name);
    // Removes a member of an object (nothing for an absent name or another case).
    void removeMember(std::string_view name);
    // The payload of an integer in 0 ... 2^53 - 1; E2EEError::invalid otherwise.
    std::int64_t safeInteger() const;
    // Whether the value is an object with at least one member.
    bool isNonEmptyObject() const noexcept;
    // The member names of an object as held (empty for another case).
    std::vector<std::string> memberNames() const;

    // Deep equality; strings and names by canonical equivalence.
    friend bool operator==(const E2EEJSON& a, const E2EEJSON& b);

    // The canonical composition of a name or text (the key of Object).
    static std::string equivalenceKey(std::string_view text);

private:
    using Storage = std::variant<std::shared_ptr<const Object>, std::shared_ptr<const Array>,
                                 std::shared_ptr<const std::string>, std::int64_t, bool, std::nullptr_t>;
    explicit E2EEJSON(Storage storage);
    void writeCanonical(std::string& out) const;

    Storage storage_;
};

struct E2EEJSON::Member {
    std::string name;
    E2EEJSON value;
};

// Defined here, where Member is complete.
inline E2EEJSON::E2EEJSON() noexcept : storage_(nullptr) {}
inline E2EEJSON::E2EEJSON(std::nullptr_t) noexcept : storage_(nullptr) {}
inline E2EEJSON::E2EEJSON(bool value) noexcept : storage_(value) {}
template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int>>
inline E2EEJSON::E2EEJSON(T value) noexcept : storage_(static_cast<std::int64_t>(value)) {}
inline E2EEJSON::E2EEJSON(std::string_view value) : E2EEJSON(std::string(value)) {}
inline E2EEJSON::E2EEJSON(const char* value) : E2EEJSON(std::string(value)) {}
inline E2EEJSON::E2EEJSON(Storage storage) : storage_(std::move(storage)) {}
inline bool E2EEJSON::boolValue() const noexcept { return isBool() && std::get<bool>(storage_); }

}  // namespace nimbuscrate
