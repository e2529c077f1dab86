#include "shared/session/WebDAVParser.h"

#include <expat.h>

#include <array>
#include <cctype>
#include <exception>
#include <limits>
#include <stdexcept>

#include "platform/core/PlatformError.h"
#include "platform/core/UnicodeText.h"
#include "shared/session/DesktopError.h"

namespace nimbuscrate {

namespace {

// Larger inputs are handed to the XML parser in slices of this size, so that
// the markup it holds back between two slices can be checked against the limit.
constexpr std::size_t kSliceBytes = 64 * 1024;

bool optionalTextEqual(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || canonicallyEqual(*a, *b);
}

char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    }
    return true;
}

// White space and line breaks: the separators (Zs, Zl, Zp), tab and the
// line-break controls U+000A to U+000D and U+0085.
bool isWhitespaceOrNewline(char32_t c) {
    if (c >= 0x09 && c <= 0x0D) return true;
    if (c >= 0x2000 && c <= 0x200A) return true;
    switch (c) {
        case 0x20: case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
        case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return false;
    }
}

// Decodes the code point that starts at text[index]; nullopt for invalid UTF-8.
std::optional<char32_t> decodeAt(std::string_view text, std::size_t index, std::size_t& length) {
    const auto lead = static_cast<unsigned char>(text[index]);
    std::size_t count = 0;
    char32_t value = 0;
    if (lead < 0x80) {
        length = 1;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        count = 2;
        value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        count = 3;
        value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        count = 4;
        value = lead & 0x07;
    } else {
        return std::nullopt;
    }
    if (index + count > text.size()) return std::nullopt;
    for (std::size_t i = 1; i < count; ++i) {
        const auto byte = static_cast<unsigned char>(text[index + i]);
        if ((byte & 0xC0) != 0x80) return std::nullopt;
        value = (value << 6) | (byte & 0x3F);
    }
    length = count;
    return value;
}

// Days from 1970-01-01 to the given proleptic Gregorian date.
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

unsigned daysInMonth(std::int64_t year, unsigned month) {
    static constexpr std::array<unsigned, 12> days{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// Reads exactly `digits` ASCII digits at text[position].
std::optional<int> readDigits(std::string_view text, std::size_t& position, std::size_t digits) {
    if (position + digits > text.size()) return std::nullopt;
    int value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const char c = text[position + i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    position += digits;
    return value;
}

bool readLiteral(std::string_view text, std::size_t& position, std::string_view literal) {
    if (text.substr(position, literal.size()) != literal) return false;
    position += literal.size();
    return true;
}

// Index of the three-letter name at text[position] in names, case-insensitively.
template <std::size_t N>
std::optional<unsigned> readName(std::string_view text, std::size_t& position,
                                 const std::array<std::string_view, N>& names) {
    const std::string_view word = text.substr(position, 3);
    for (unsigned i = 0; i < N; ++i) {
        if (equalsIgnoringASCIICase(word, names[i])) {
            position += 3;
            return i;
        }
    }
    return std::nullopt;
}

// Offset in seconds east of GMT for the zone names the HTTP date form carries.
std::optional<std::int64_t> zoneOffset(std::string_view zone) {
    struct Named {
        std::string_view name;
        int hours;
    };
    static constexpr std::array<Named, 11> names{{
        {"GMT", 0}, {"UTC", 0}, {"UT", 0}, {"EST", -5}, {"EDT", -4}, {"CST", -6},
        {"CDT", -5}, {"MST", -7}, {"MDT", -6}, {"PST", -8}, {"PDT", -7},
    }};
    for (const auto& named : names) {
        if (equalsIgnoringASCIICase(zone, named.name)) return std::int64_t{named.hours} * 3600;
    }
    // "GMT" or "UTC" followed by +H, +HH, +HHMM or +HH:MM (or "-").
    std::string_view prefix = zone.substr(0, 3);
    if (!equalsIgnoringASCIICase(prefix, "GMT") && !equalsIgnoringASCIICase(prefix, "UTC")) return std::nullopt;
    std::string_view rest = zone.substr(3);
    if (rest.size() < 2 || (rest[0] != '+' && rest[0] != '-')) return std::nullopt;
    const int sign = rest[0] == '-' ? -1 : 1;
    rest.remove_prefix(1);
    std::size_t position = 0;
    std::optional<int> hours;
    std::optional<int> minutes = 0;
    if (rest.size() == 1 || rest.size() == 2) {
        hours = readDigits(rest, position, rest.size());
    } else if (rest.size() == 4) {
        hours = readDigits(rest, position, 2);
        minutes = readDigits(rest, position, 2);
    } else if (rest.size() == 5 && rest[2] == ':') {
        hours = readDigits(rest, position, 2);
        ++position;
        minutes = readDigits(rest, position, 2);
    }
    if (!hours || !minutes || *hours > 23 || *minutes > 59) return std::nullopt;
    return sign * (std::int64_t{*hours} * 3600 + std::int64_t{*minutes} * 60);
}

}  // namespace

bool WebDAVResponse::operator==(const WebDAVResponse& other) const {
    return canonicallyEqual(href, other.href) && canonicallyEqual(displayName, other.displayName) &&
           canonicallyEqual(fileID, other.fileID) && canonicallyEqual(etag, other.etag) &&
           optionalTextEqual(contentType, other.contentType) && size == other.size &&
           modifiedAt == other.modifiedAt && isDirectory == other.isDirectory;
}

bool isSafeItemName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool isSafeRemotePath(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return false;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        if (path.substr(start, end - start) == "..") return false;
        start = end + 1;
    }
    return true;
}

std::string_view trimWhitespaceAndNewlines(std::string_view text) {
    // From the front.
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t length = 0;
        const auto c = decodeAt(text, begin, length);
        if (!c || !isWhitespaceOrNewline(*c)) break;
        begin += length;
    }
    // From the back: step to the start of the last code point each time.
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        std::size_t length = 0;
        const auto c = decodeAt(text, start, length);
        if (!c || start + length != end || !isWhitespaceOrNewline(*c)) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::optional<std::int64_t> parseDecimalInt64(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    // Accumulate as a negative number so that the minimum value fits.
    constexpr std::int64_t minimum = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const int digit = c - '0';
        if (value < (minimum + digit) / 10) return std::nullopt;
        value = value * 10 - digit;
    }
    if (negative) return value;
    if (value == minimum) return std::nullopt;
    return -value;
}

std::optional<Date> parseHTTPDate(std::string_view text) {
    static constexpr std::array<std::string_view, 7> weekdays{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr std::array<std::string_view, 12> months{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::size_t position = 0;
    if (!readName(text, position, weekdays) || !readLiteral(text, position, ", ")) return std::nullopt;
    const auto day = readDigits(text, position, 2);
    if (!day || !readLiteral(text, position, " ")) return std::nullopt;
    const auto month = readName(text, position, months);
    if (!month || !readLiteral(text, position, " ")) return std::nullopt;
    const auto year = readDigits(text, position, 4);
    if (!year || !readLiteral(text, position, " ")) return std::nullopt;
    const auto hour = readDigits(text, position, 2);
    if (!hour || !readLiteral(text, position, ":")) return std::nullopt;
    const auto minute = readDigits(text, position, 2);
    if (!minute || !readLiteral(text, position, ":")) return std::nullopt;
    const auto second = readDigits(text, position, 2);
    if (!second || !readLiteral(text, position, " ")) return std::nullopt;
    const auto offset = zoneOffset(text.substr(position));
    if (!offset) return std::nullopt;

    const unsigned monthNumber = *month + 1;
    if (*year < 1 || *day < 1 || static_cast<unsigned>(*day) > daysInMonth(*year, monthNumber)) return std::nullopt;
    if (*hour > 23 || *minute > 59 || *second > 59) return std::nullopt;
    const std::int64_t days = daysFromCivil(*year, monthNumber, static_cast<unsigned>(*day));
    const std::int64_t unixSeconds = days * 86400 + *hour * 3600 + *minute * 60 + *second - *offset;
    return Date::fromUnixSeconds(static_cast<double>(unixSeconds));
}

// The XML parser and what the parser knows of its progress.
struct WebDAVParser::Expat {
    XML_Parser parser = nullptr;
    WebDAVParser* owner = nullptr;
    std::size_t depth = 0;
    // Bytes handed to the XML parser, and the end of the last event it reported.
    long long fed = 0;
    long long reported = 0;
    // Why a handler stopped the parse (rethrown once the parser has returned).
    std::exception_ptr failure;

    ~Expat() {
        if (parser) XML_ParserFree(parser);
    }

    static Expat& from(void* userData) { return *static_cast<Expat*>(userData); }

    void noteProgress() {
        reported = XML_GetCurrentByteIndex(parser) + XML_GetCurrentByteCount(parser);
    }

    // Runs one event; an exception stops the parse instead of crossing the C code.
    template <typename Work>
    void guarded(Work&& work) {
        if (failure) return;
        try {
            noteProgress();
            work();
        } catch (...) {
            failure = std::current_exception();
            XML_StopParser(parser, XML_FALSE);
        }
    }

    static void onStart(void* userData, const XML_Char* name, const XML_Char**) {
        Expat& self = from(userData);
        self.guarded([&] {
            if (++self.depth > self.owner->limits_.maxDepth) throw DesktopError::invalidResponse();
            self.owner->elementStarted(name);
        });
    }

    static void onEnd(void* userData, const XML_Char* name) {
        Expat& self = from(userData);
        self.guarded([&] {
            --self.depth;
            self.owner->elementEnded(name);
        });
    }

    static void onCharacters(void* userData, const XML_Char* characters, int length) {
        Expat& self = from(userData);
        self.guarded([&] { self.owner->charactersFound(std::string_view(characters, static_cast<std::size_t>(length))); });
    }

    // Comments, processing instructions and the XML declaration carry nothing
    // the reply is read for; they only mark progress.
    static void onComment(void* userData, const XML_Char*) {
        Expat& self = from(userData);
        self.guarded([] {});
    }
    static void onProcessingInstruction(void* userData, const XML_Char*, const XML_Char*) {
        Expat& self = from(userData);
        self.guarded([] {});
    }
    static void onXMLDeclaration(void* userData, const XML_Char*, const XML_Char*, int) {
        Expat& self = from(userData);
        self.guarded([] {});
    }

    // A multistatus reply has no document type: refusing it keeps out entity
    // declarations (expansion bombs) and external entities alike.
    static void onDoctype(void* userData, const XML_Char*, const XML_Char*, const XML_Char*, int) {
        Expat& self = from(userData);
        self.guarded([] { throw DesktopError::invalidResponse(); });
    }
    static void onEntityDeclaration(void* userData, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                                    const XML_Char*, const XML_Char*, const XML_Char*) {
        Expat& self = from(userData);
        self.guarded([] { throw DesktopError::invalidResponse(); });
    }
    static int onExternalEntity(XML_Parser, const XML_Char*, const XML_Char*, const XML_Char*, const XML_Char*) {
        return XML_STATUS_ERROR;
    }
};

WebDAVParser::WebDAVParser() : WebDAVParser(Limits{}) {}

WebDAVParser::WebDAVParser(Limits limits) : limits_(limits), expat_(std::make_unique<Expat>()) {
    // No namespace processing: handlers receive qualified names ("d:href").
    expat_->parser = XML_ParserCreate(nullptr);
    if (!expat_->parser) throw std::bad_alloc();
    expat_->owner = this;
    XML_Parser parser = expat_->parser;
    XML_SetUserData(parser, expat_.get());
    XML_SetElementHandler(parser, &Expat::onStart, &Expat::onEnd);
    XML_SetCharacterDataHandler(parser, &Expat::onCharacters);
    XML_SetCommentHandler(parser, &Expat::onComment);
    XML_SetProcessingInstructionHandler(parser, &Expat::onProcessingInstruction);
    XML_SetXmlDeclHandler(parser, &Expat::onXMLDeclaration);
    XML_SetStartDoctypeDeclHandler(parser, &Expat::onDoctype);
    XML_SetEntityDeclHandler(parser, &Expat::onEntityDeclaration);
    XML_SetExternalEntityRefHandler(parser, &Expat::onExternalEntity);
    XML_SetParamEntityParsing(parser, XML_PARAM_ENTITY_PARSING_NEVER);
}

WebDAVParser::~WebDAVParser() = default;

void WebDAVParser::feed(std::string_view bytes) {
    if (finished_) throw std::logic_error("WebDAVParser: feed after finish");
    while (!bytes.empty()) {
        const std::string_view slice = bytes.substr(0, kSliceBytes);
        bytes.remove_prefix(slice.size());
        parseSlice(slice, false);
        if (static_cast<std::size_t>(expat_->fed - expat_->reported) > limits_.maxPendingBytes) {
            finished_ = true;
            throw DesktopError::invalidResponse();
        }
    }
}

void WebDAVParser::finish() {
    if (finished_) throw std::logic_error("WebDAVParser: finish called twice or after a failure");
    parseSlice({}, true);
    finished_ = true;
}

void WebDAVParser::parseSlice(std::string_view bytes, bool isFinal) {
    expat_->fed += static_cast<long long>(bytes.size());
    const auto status = XML_Parse(expat_->parser, bytes.data(), static_cast<int>(bytes.size()), isFinal ? XML_TRUE : XML_FALSE);
    if (status != XML_STATUS_OK) throwFailure();
}

void WebDAVParser::throwFailure() {
    finished_ = true;
    if (expat_->failure) std::rethrow_exception(expat_->failure);
    const XML_Error code = XML_GetErrorCode(expat_->parser);
    if (code == XML_ERROR_NONE) throw DesktopError::invalidResponse();
    const char* message = XML_ErrorString(code);
    throw PlatformError(kXMLParserErrorDomain, code,
                        "The reply is not well-formed XML (line " + std::to_string(XML_GetCurrentLineNumber(expat_->parser)) +
                            ", column " + std::to_string(XML_GetCurrentColumnNumber(expat_->parser)) +
                            "): " + (message ? message : "unknown error"));
}

std::vector<WebDAVResponse> WebDAVParser::parse(std::string_view document) {
    WebDAVParser parser;
    parser.feed(document);
    parser.finish();
    return parser.takeResponses();
}

namespace {

// The part of a qualified name after its last colon ("d:href" -> "href").
std::string_view localPart(std::string_view name) {
    std::string_view last;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find(':', start);
        if (end == std::string_view::npos) end = name.size();
        if (end > start) last = name.substr(start, end - start);
        start = end + 1;
    }
    return last.empty() ? name : last;
}

}  // namespace

std::string WebDAVParser::localName(std::string_view name) {
    std::string result(localPart(name));
    for (char& c : result) c = asciiLower(c);
    return result;
}

void WebDAVParser::elementStarted(std::string_view name) {
    const std::string_view element = localPart(name);
    text_.clear();
    if (equalsIgnoringASCIICase(element, "response")) {
        current_ = WebDAVResponse{};
    } else if (equalsIgnoringASCIICase(element, "collection") && current_) {
        current_->isDirectory = true;
    }
}

void WebDAVParser::charactersFound(std::string_view characters) {
    if (text_.size() + characters.size() > limits_.maxTextBytes) throw DesktopError::invalidResponse();
    text_.append(characters);
}

void WebDAVParser::elementEnded(std::string_view elementName) {
    const std::string_view name = localPart(elementName);
    const auto is = [&](std::string_view wanted) { return equalsIgnoringASCIICase(name, wanted); };
    if (current_) {
        WebDAVResponse& response = *current_;
        const std::string_view value = trimWhitespaceAndNewlines(text_);
        if (is("href")) {
            response.href = value;
        } else if (is("displayname")) {
            // A name that cannot be one path component is dropped; the
            // listing then falls back to the href's last component.
            response.displayName = isSafeItemName(value) ? std::string(value) : std::string();
        } else if (is("fileid")) {
            response.fileID = value;
        } else if (is("getetag")) {
            const std::size_t first = value.find_first_not_of('"');
            response.etag = first == std::string_view::npos
                                ? std::string()
                                : std::string(value.substr(first, value.find_last_not_of('"') - first + 1));
        } else if (is("getcontentlength")) {
            response.size = parseDecimalInt64(value).value_or(0);
        } else if (is("getcontenttype")) {
            response.contentType = value.empty() ? std::nullopt : std::optional<std::string>(value);
        } else if (is("getlastmodified")) {
            response.modifiedAt = parseHTTPDate(value);
        }
    }
    if (is("response")) {
        if (current_) {
            if (responses_.size() >= limits_.maxResponses) throw DesktopError::invalidResponse();
            responses_.push_back(std::move(*current_));
        }
        current_.reset();
    }
    text_.clear();
}

}  // namespace nimbuscrate
