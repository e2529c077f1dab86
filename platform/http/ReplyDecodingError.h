#pragma once

#include <stdexcept>
#include <string>

namespace nimbuscrate {

// A reply body that does not decode into what the caller expects: not JSON,
// a missing required key, a value of the wrong type, a URL that does not parse.
class ReplyDecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace nimbuscrate
