// Feeds arbitrary bytes to the WebDAV multistatus parser, once whole and once
// in small pieces as a reply arrives over the network. Every refusal must be
// the XML parser's error or DesktopError::invalidResponse, and both ways of
// feeding must agree: the same refusal kind, or the same responses.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/core/PlatformError.h"
#include "shared/session/DesktopError.h"
#include "shared/session/WebDAVParser.h"

using namespace nimbuscrate;

namespace {

enum class Refusal { notWellFormed, invalidResponse };

struct Outcome {
    std::optional<Refusal> refusal;
    std::vector<WebDAVResponse> responses;
};

// Parses the document fed in pieces of `piece` bytes (0: all at once).
Outcome parse(std::string_view document, std::size_t piece) {
    Outcome outcome;
    WebDAVParser parser;
    try {
        if (piece == 0) {
            parser.feed(document);
        } else {
            for (std::size_t at = 0; at < document.size(); at += piece) parser.feed(document.substr(at, piece));
        }
        parser.finish();
        outcome.responses = parser.takeResponses();
    } catch (const PlatformError& error) {
        if (error.domain() != kXMLParserErrorDomain) std::abort();
        outcome.refusal = Refusal::notWellFormed;
    } catch (const DesktopError& error) {
        if (error.kind() != DesktopError::Kind::invalidResponse) std::abort();
        outcome.refusal = Refusal::invalidResponse;
    }
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view document(reinterpret_cast<const char*>(data), size);
    const Outcome whole = parse(document, 0);
    // A piece size that varies with the input, from 1 to 61 bytes.
    const Outcome pieces = parse(document, 1 + size % 61);
    if (whole.refusal != pieces.refusal) std::abort();
    if (!whole.refusal && !(whole.responses == pieces.responses)) std::abort();
    return 0;
}
