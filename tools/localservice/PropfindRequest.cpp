#include "tools/localservice/PropfindRequest.h"

#include <expat.h>

#include <cctype>
#include <memory>

namespace nimbuscrate::localservice {

namespace {

// Expat reports a namespaced name as "<uri><separator><local>".
constexpr char kSeparator = '\x1f';

PropertyName splitName(const XML_Char* name) {
    std::string_view text(name);
    auto at = text.rfind(kSeparator);
    if (at == std::string_view::npos) return {"", std::string(text)};
    return {std::string(text.substr(0, at)), std::string(text.substr(at + 1))};
}

struct ParseState {
    XML_Parser parser = nullptr;
    PropfindRequest request;
    int depth = 0;
    bool sawRoot = false;
    bool inProp = false;
    bool sawProp = false;
    bool sawAll = false;
    bool sawNames = false;
    std::string error;

    void fail(std::string message) {
        if (error.empty()) error = std::move(message);
        XML_StopParser(parser, XML_FALSE);
    }
};

void XMLCALL onStart(void* data, const XML_Char* rawName, const XML_Char**) {
    auto& state = *static_cast<ParseState*>(data);
    PropertyName name = splitName(rawName);
    ++state.depth;
    if (state.depth == 1) {
        if (name.ns != kDavNamespace || name.local != "propfind") return state.fail("the root element is not DAV:propfind");
        state.sawRoot = true;
    } else if (state.depth == 2) {
        if (name.ns != kDavNamespace) return;
        if (name.local == "prop") {
            state.inProp = true;
            state.sawProp = true;
        } else if (name.local == "allprop") {
            state.sawAll = true;
        } else if (name.local == "propname") {
            state.sawNames = true;
        }
    } else if (state.depth == 3 && state.inProp) {
        if (state.request.properties.size() >= PropfindRequest::kMaxProperties) return state.fail("too many properties");
        bool seen = false;
        for (const auto& existing : state.request.properties) seen = seen || existing == name;
        if (!seen) state.request.properties.push_back(std::move(name));
    }
}

void XMLCALL onEnd(void* data, const XML_Char*) {
    auto& state = *static_cast<ParseState*>(data);
    if (state.depth == 2) state.inProp = false;
    --state.depth;
}

void XMLCALL onDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    static_cast<ParseState*>(data)->fail("document type declarations are not accepted");
}

void XMLCALL onEntity(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*, const XML_Char*,
                      const XML_Char*, const XML_Char*) {
    static_cast<ParseState*>(data)->fail("entity declarations are not accepted");
}

}  // namespace

std::optional<PropfindRequest> PropfindRequest::parse(std::string_view body, std::string& error) {
    bool blank = true;
    for (char c : body) blank = blank && std::isspace(static_cast<unsigned char>(c));
    if (blank) return PropfindRequest{};

    std::unique_ptr<std::remove_pointer_t<XML_Parser>, decltype(&XML_ParserFree)> parser(
        XML_ParserCreateNS("UTF-8", kSeparator), &XML_ParserFree);
    if (!parser) {
        error = "out of memory";
        return std::nullopt;
    }
    ParseState state;
    state.parser = parser.get();
    XML_SetUserData(parser.get(), &state);
    XML_SetElementHandler(parser.get(), onStart, onEnd);
    XML_SetStartDoctypeDeclHandler(parser.get(), onDoctype);
    XML_SetEntityDeclHandler(parser.get(), onEntity);
    XML_SetParamEntityParsing(parser.get(), XML_PARAM_ENTITY_PARSING_NEVER);
    auto status = XML_Parse(parser.get(), body.data(), static_cast<int>(body.size()), XML_TRUE);
    if (!state.error.empty()) {
        error = state.error;
        return std::nullopt;
    }
    if (status != XML_STATUS_OK) {
        error = std::string("malformed XML: ") + XML_ErrorString(XML_GetErrorCode(parser.get()));
        return std::nullopt;
    }
    if (!state.sawRoot) {
        error = "no DAV:propfind element";
        return std::nullopt;
    }
    int choices = (state.sawProp ? 1 : 0) + (state.sawAll ? 1 : 0) + (state.sawNames ? 1 : 0);
    if (choices > 1) {
        error = "DAV:propfind holds more than one of prop, allprop and propname";
        return std::nullopt;
    }
    PropfindRequest request = std::move(state.request);
    if (state.sawProp) {
        request.kind = Kind::properties;
    } else if (state.sawNames) {
        request.kind = Kind::propertyNames;
    } else {
        request.kind = Kind::allProperties;
    }
    return request;
}

}  // namespace nimbuscrate::localservice
