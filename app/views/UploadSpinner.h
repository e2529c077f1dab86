#pragma once

#include <chrono>
#include <functional>
#include <optional>

namespace nimbuscrate {

// The upload icon's turn: one full turn a second, linear, from 0 degrees at
// the moment the icon appeared. Frames are drawn at about 12 a second from
// the elapsed time, so a late frame shows the right angle, not a lagging one.
class UploadSpinner {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    static constexpr std::chrono::milliseconds kTurn{1000};
    static constexpr std::chrono::milliseconds kFrameInterval{83};

    // The angle in degrees, in [0, 360), after elapsed time of turning.
    static double angleAt(std::chrono::nanoseconds elapsed);

    explicit UploadSpinner(Clock clock);

    // Uploads began: the turn restarts at 0 degrees.
    void start();
    // Uploads ended.
    void stop();
    bool isTurning() const { return startedAt_.has_value(); }
    // The current angle; 0 while stopped.
    double angle() const;

private:
    Clock clock_;
    std::optional<std::chrono::steady_clock::time_point> startedAt_;
};

}  // namespace nimbuscrate
