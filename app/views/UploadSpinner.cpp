#include "app/views/UploadSpinner.h"

#include <utility>

namespace nimbuscrate {

double UploadSpinner::angleAt(std::chrono::nanoseconds elapsed) {
    if (elapsed.count() < 0) return 0;
    const auto turn = std::chrono::duration_cast<std::chrono::nanoseconds>(kTurn).count();
    return 360.0 * static_cast<double>(elapsed.count() % turn) / static_cast<double>(turn);
}

UploadSpinner::UploadSpinner(Clock clock) : clock_(std::move(clock)) {}

void UploadSpinner::start() { startedAt_ = clock_(); }

void UploadSpinner::stop() { startedAt_.reset(); }

double UploadSpinner::angle() const {
    if (!startedAt_) return 0;
    return angleAt(clock_() - *startedAt_);
}

}  // namespace nimbuscrate
