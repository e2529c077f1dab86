#pragma once

#include <span>

namespace nimbuscrate {

// Whether the app shows itself as a regular application (its window in the
// taskbar) or lives in the tray only. It is regular from launch and after
// "Show Nimbuscrate"; it becomes tray-only once no usable window is left.
enum class ActivationPolicy { regular, accessory };

const char* activationPolicyName(ActivationPolicy policy);

// One top-level window as the scan sees it.
struct WindowFacts {
    bool visible = false;
    bool minimized = false;
    bool canBecomeMain = false;  // an ordinary window, not a dialog, tool or popup
};

// A window counts when it is visible, not minimized and can become the main
// window (read in that order; the first false ends the test).
bool windowCounts(const WindowFacts& window);

// The policy after a window closed: unchanged while any window counts,
// otherwise accessory. The scan never makes the app regular again.
ActivationPolicy policyAfterWindowScan(ActivationPolicy current, std::span<const WindowFacts> windows);

}  // namespace nimbuscrate
