#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nimbuscrate::fp {

// The kind of an item's contents, from a small built-in registry. Abstract
// kinds ("fp.item", "fp.data", "fp.folder", "fp.image", "fp.movie", ...) form
// a conformance tree; concrete kinds are named by their MIME type and conform
// to their abstract kind, and through it to "fp.data".
// A type that the registry does not know (see dynamic) conforms only to itself.
class ContentType {
public:
    static ContentType item();     // everything
    static ContentType data();     // any byte stream
    static ContentType folder();
    static ContentType text();
    static ContentType image();
    static ContentType audiovisual();
    static ContentType movie();
    static ContentType audio();
    static ContentType archive();
    static ContentType pdf();

    // The registered type for a file name extension (without the dot,
    // any letter case), or none.
    static std::optional<ContentType> fromFilenameExtension(std::string_view extension);
    // The registered type for a MIME type (parameters and letter case ignored), or none.
    static std::optional<ContentType> fromMimeType(std::string_view mimeType);
    // A registered type by identifier, or an unregistered type of that name.
    static ContentType withIdentifier(std::string_view identifier);

    const std::string& identifier() const noexcept { return identifier_; }
    bool isRegistered() const;
    // True when this type is `other` or descends from it.
    bool conformsTo(const ContentType& other) const;

    bool operator==(const ContentType& other) const noexcept { return identifier_ == other.identifier_; }

private:
    explicit ContentType(std::string identifier) : identifier_(std::move(identifier)) {}
    std::string identifier_;
};

// The text after the last "." of the last path component of a file name;
// empty when there is none, or when the only "." begins the name.
std::string pathExtension(std::string_view filename);

}  // namespace nimbuscrate::fp
