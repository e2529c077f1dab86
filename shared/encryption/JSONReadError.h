#pragma once

#include <stdexcept>
#include <string>

namespace nimbuscrate {

// The JSON reader's own error: text that is not acceptable as an E2EEJSON
// document (malformed JSON, a number that is not a whole number in
// 0 ... 2^53 - 1, nesting deeper than the limit, a repeated member name).
// It is deliberately not an E2EEError.
class JSONReadError : public std::runtime_error {
public:
    explicit JSONReadError(const std::string& description) : std::runtime_error(description) {}
};

}  // namespace nimbuscrate
