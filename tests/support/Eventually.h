#pragma once

#include <chrono>
#include <thread>

namespace nimbuscrate::testing {

// Waits for something done on other threads (an upload, an eviction, a
// caller reaching a wait): checked often, bounded generously, never a fixed
// sleep. True once the condition holds; false if it still does not when the
// time is up.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace nimbuscrate::testing
