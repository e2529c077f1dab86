#include "app/views/ActivationPolicy.h"

namespace nimbuscrate {

const char* activationPolicyName(ActivationPolicy policy) {
    return policy == ActivationPolicy::regular ? "regular" : "accessory";
}

bool windowCounts(const WindowFacts& window) {
    return window.visible && !window.minimized && window.canBecomeMain;
}

ActivationPolicy policyAfterWindowScan(ActivationPolicy current, std::span<const WindowFacts> windows) {
    for (const WindowFacts& window : windows) {
        if (windowCounts(window)) return current;
    }
    return ActivationPolicy::accessory;
}

}  // namespace nimbuscrate
