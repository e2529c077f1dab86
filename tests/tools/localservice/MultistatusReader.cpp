#include "tests/tools/localservice/MultistatusReader.h"

#include <expat.h>

namespace nimbuscrate::localservice::testing {

namespace {

struct State {
    std::vector<DavEntry> entries;
    std::vector<std::string> stack;
    std::map<std::string, std::string> block;
    bool blockCollection = false;
    std::string text;
    std::string status;
};

void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char**) {
    auto& state = *static_cast<State*>(data);
    std::string element = name;
    if (element == "DAV: response") state.entries.emplace_back();
    if (element == "DAV: propstat") {
        state.block.clear();
        state.blockCollection = false;
        state.status.clear();
    }
    if (element == "DAV: collection") state.blockCollection = true;
    state.stack.push_back(element);
    state.text.clear();
}

void XMLCALL onEnd(void* data, const XML_Char* name) {
    auto& state = *static_cast<State*>(data);
    std::string element = name;
    state.stack.pop_back();
    if (element == "DAV: href" && !state.entries.empty()) state.entries.back().href = state.text;
    if (element == "DAV: status") state.status = state.text;
    if (!state.stack.empty() && state.stack.back() == "DAV: prop") state.block[element] = state.text;
    if (element == "DAV: propstat" && !state.entries.empty()) {
        auto& entry = state.entries.back();
        bool ok = state.status.find(" 200 ") != std::string::npos;
        for (auto& [key, value] : state.block) (ok ? entry.found : entry.missing)[key] = value;
        if (ok && state.blockCollection) entry.isCollection = true;
    }
    state.text.clear();
}

void XMLCALL onText(void* data, const XML_Char* text, int length) {
    static_cast<State*>(data)->text.append(text, static_cast<std::size_t>(length));
}

}  // namespace

std::optional<std::vector<DavEntry>> readMultistatus(const std::string& xml) {
    XML_Parser parser = XML_ParserCreateNS("UTF-8", ' ');
    State state;
    XML_SetUserData(parser, &state);
    XML_SetElementHandler(parser, onStart, onEnd);
    XML_SetCharacterDataHandler(parser, onText);
    bool ok = XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), XML_TRUE) == XML_STATUS_OK;
    XML_ParserFree(parser);
    if (!ok) return std::nullopt;
    return state.entries;
}

}  // namespace nimbuscrate::localservice::testing
