#pragma once

#include <stdexcept>
#include <stop_token>

namespace nimbuscrate {

// Thrown when a task stops because its std::stop_token asked it to; the one
// error the extension reports to the system as "user cancelled".
class CancellationError : public std::runtime_error {
public:
    CancellationError() : std::runtime_error("The operation was cancelled.") {}
};

inline void throwIfCancelled(const std::stop_token& token) {
    if (token.stop_requested()) throw CancellationError();
}

}  // namespace nimbuscrate
