// Reads arbitrary text as an E2EEJSON document and checks that whatever is
// accepted writes a canonical text that reads back to an equal value with
// the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "shared/encryption/E2EEJSON.h"
#include "shared/encryption/JSONReadError.h"

using nimbuscrate::E2EEJSON;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    E2EEJSON value;
    try {
        value = E2EEJSON::parse(text);
    } catch (const nimbuscrate::JSONReadError&) {
        return 0;
    }
    // Every value the reader accepts has a canonical text.
    const std::string canonical = value.canonicalString();
    const E2EEJSON again = E2EEJSON::parse(canonical);
    if (!(again == value)) std::abort();
    if (again.canonicalString() != canonical) std::abort();
    for (const auto& name : value.memberNames()) {
        if (!(value.member(name) == again.member(name))) std::abort();
    }
    return 0;
}
