#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/Date.h"

namespace nimbuscrate {

// Domain of the errors the XML parser itself reports for a reply that is not
// well-formed (code: the parser's error number).
inline constexpr const char* kXMLParserErrorDomain = "NSXMLParserErrorDomain";

// One resource of a WebDAV multistatus reply.
struct WebDAVResponse {
    std::string href;
    // Empty when the server sent none, or sent one that cannot be a file name
    // (see isSafeItemName); the listing then names the item after its href.
    std::string displayName;
    std::string fileID;
    std::string etag;  // surrounding double quotes removed
    std::optional<std::string> contentType;
    std::int64_t size = 0;
    std::optional<Date> modifiedAt;
    bool isDirectory = false;

    // All eight fields equal; texts by canonical equivalence.
    bool operator==(const WebDAVResponse& other) const;
};

// Whether a server-supplied name can be used as one path component: not
// empty, not "." or "..", and holding neither "/" nor NUL.
bool isSafeItemName(std::string_view name);

// Whether a decoded server path can stand for an item: it holds no NUL and
// no ".." component (listings skip entries whose path fails this).
bool isSafeRemotePath(std::string_view path);

// Parses the HTTP date form "EEE, dd MMM yyyy HH:mm:ss zzz" (for example
// "Tue, 15 Nov 1994 08:12:31 GMT") in the POSIX English locale.
std::optional<Date> parseHTTPDate(std::string_view text);

// Parses a signed decimal 64-bit integer: an optional "+" or "-" and one or
// more ASCII digits, nothing else; overflow does not parse.
std::optional<std::int64_t> parseDecimalInt64(std::string_view text);

// Trims Unicode white space and line breaks from both ends of UTF-8 text.
std::string_view trimWhitespaceAndNewlines(std::string_view text);

// Reads a WebDAV multistatus document into one WebDAVResponse per `response`
// element, in document order. Elements are matched by their local name (the
// part after the last ":", lower-cased), so any namespace prefix, or none,
// is accepted.
//
// The document is fed as it arrives (feed, then finish). It is read by a
// streaming XML parser with namespace processing off; document type
// declarations (and with them every entity declaration and external entity)
// are refused, and memory stays bounded: character data, unfinished markup,
// element nesting and the number of responses each have a limit.
//
// Errors (thrown by feed and finish; the partial responses are then to be
// discarded):
//  - PlatformError in kXMLParserErrorDomain when the reply is not well-formed XML;
//  - DesktopError::invalidResponse when it declares a document type or goes
//    beyond a limit.
class WebDAVParser {
public:
    struct Limits {
        std::size_t maxTextBytes = 1 << 20;     // character data of one element
        std::size_t maxPendingBytes = 1 << 20;  // markup fed but not yet reported (one tag, comment, ...)
        std::size_t maxDepth = 256;             // element nesting
        std::size_t maxResponses = 500'000;
    };

    WebDAVParser();
    explicit WebDAVParser(Limits limits);
    ~WebDAVParser();
    WebDAVParser(const WebDAVParser&) = delete;
    WebDAVParser& operator=(const WebDAVParser&) = delete;

    // Parses the next bytes of the reply.
    void feed(std::string_view bytes);
    // Ends the reply; fails when the document is incomplete.
    void finish();

    // Finished responses, in the order their `response` elements ended.
    const std::vector<WebDAVResponse>& responses() const { return responses_; }
    std::vector<WebDAVResponse> takeResponses() { return std::move(responses_); }

    // Parses a whole document at once.
    static std::vector<WebDAVResponse> parse(std::string_view document);

    // The three events of the XML parser (the element names as the parser
    // reports them with namespace processing off, prefix included).
    void elementStarted(std::string_view name);
    void charactersFound(std::string_view characters);
    void elementEnded(std::string_view name);

    // The lower-cased local name of a qualified element name.
    static std::string localName(std::string_view name);

private:
    struct Expat;

    void parseSlice(std::string_view bytes, bool isFinal);
    [[noreturn]] void throwFailure();

    Limits limits_;
    std::unique_ptr<Expat> expat_;
    std::vector<WebDAVResponse> responses_;
    std::optional<WebDAVResponse> current_;
    std::string text_;
    bool finished_ = false;
};

}  // namespace nimbuscrate
