#include "tools/localservice/FaultKnobs.h"

#include <algorithm>

#include "tools/localservice/HttpExchange.h"

namespace nimbuscrate::localservice {

namespace {

// A counted knob with calls left (kEveryCall never runs out).
bool usesLeft(int remaining) { return remaining > 0 || remaining == FaultKnobs::kEveryCall; }

void useOnce(int& remaining) {
    if (remaining > 0) --remaining;
}

}  // namespace

bool Route::matches(std::string_view requestMethod, std::string_view requestHost, std::string_view path) const {
    if (!method.empty() && !equalsIgnoringCase(method, requestMethod)) return false;
    if (!host.empty() && !equalsIgnoringCase(host, requestHost)) return false;
    return path.substr(0, pathPrefix.size()) == pathPrefix;
}

void HoldGate::open() {
    {
        std::lock_guard lock(mutex_);
        open_ = true;
    }
    changed_.notify_all();
}

bool HoldGate::isOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
}

std::size_t HoldGate::arrivals() const {
    std::lock_guard lock(mutex_);
    return arrivals_;
}

bool HoldGate::waitForArrivals(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return arrivals_ >= count; });
}

void HoldGate::pass() {
    std::unique_lock lock(mutex_);
    ++arrivals_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_; });
}

void FaultKnobs::overrideReply(Route route, ReplyOverride reply, int times) {
    if (times <= 0 && times != kEveryCall) return;
    std::lock_guard lock(mutex_);
    replies_.push_back({std::move(route), std::move(reply), times});
}

void FaultKnobs::delay(Route route, std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    std::erase_if(delays_, [&](const DelayKnob& knob) {
        return knob.route.method == route.method && knob.route.host == route.host &&
               knob.route.pathPrefix == route.pathPrefix;
    });
    if (delay.count() > 0) delays_.push_back({std::move(route), delay});
}

std::shared_ptr<HoldGate> FaultKnobs::hold(Route route, bool afterHandling) {
    auto gate = std::make_shared<HoldGate>();
    std::lock_guard lock(mutex_);
    holds_.push_back({std::move(route), gate, afterHandling});
    return gate;
}

void FaultKnobs::dropConnection(Route route, int times) {
    if (times <= 0 && times != kEveryCall) return;
    std::lock_guard lock(mutex_);
    drops_.push_back({std::move(route), times});
}

void FaultKnobs::slowBody(Route route, std::size_t chunkBytes, std::chrono::milliseconds pause) {
    std::lock_guard lock(mutex_);
    slows_.push_back({std::move(route), std::max<std::size_t>(chunkBytes, 1), pause});
}

void FaultKnobs::rangeFault(Route route, RangeFault fault, int times) {
    if (times <= 0 && times != kEveryCall) return;
    std::lock_guard lock(mutex_);
    ranges_.push_back({std::move(route), fault, times});
}

std::shared_ptr<HoldGate> FaultKnobs::stallBody(Route route, std::size_t afterBytes) {
    auto gate = std::make_shared<HoldGate>();
    std::lock_guard lock(mutex_);
    stalls_.push_back({std::move(route), gate, afterBytes});
    return gate;
}

void FaultKnobs::clear() {
    std::vector<HoldKnob> holds;
    std::vector<StallKnob> stalls;
    {
        std::lock_guard lock(mutex_);
        replies_.clear();
        delays_.clear();
        holds.swap(holds_);
        drops_.clear();
        slows_.clear();
        ranges_.clear();
        stalls.swap(stalls_);
    }
    for (auto& knob : holds) knob.gate->open();
    for (auto& knob : stalls) knob.gate->open();
}

FaultPlan FaultKnobs::planFor(std::string_view method, std::string_view host, std::string_view path) {
    FaultPlan plan;
    std::lock_guard lock(mutex_);
    // Counted knobs are used in the order they were set; one of each kind per call.
    for (auto& knob : drops_) {
        if (usesLeft(knob.remaining) && knob.route.matches(method, host, path)) {
            useOnce(knob.remaining);
            plan.dropConnection = true;
            break;
        }
    }
    std::erase_if(drops_, [](const DropKnob& knob) { return !usesLeft(knob.remaining); });
    if (!plan.dropConnection) {
        for (auto& knob : replies_) {
            if (usesLeft(knob.remaining) && knob.route.matches(method, host, path)) {
                useOnce(knob.remaining);
                plan.reply = knob.reply;
                break;
            }
        }
        std::erase_if(replies_, [](const ReplyKnob& knob) { return !usesLeft(knob.remaining); });
    }
    for (const auto& knob : delays_) {
        if (knob.route.matches(method, host, path)) plan.delay += knob.delay;
    }
    for (const auto& knob : holds_) {
        if (knob.route.matches(method, host, path)) (knob.afterHandling ? plan.replyGates : plan.gates).push_back(knob.gate);
    }
    for (const auto& knob : slows_) {
        if (knob.route.matches(method, host, path)) {
            plan.slowChunkBytes = knob.chunkBytes;
            plan.slowPause = knob.pause;
        }
    }
    for (auto& knob : ranges_) {
        if (usesLeft(knob.remaining) && knob.route.matches(method, host, path)) {
            useOnce(knob.remaining);
            plan.rangeFault = knob.fault;
            break;
        }
    }
    std::erase_if(ranges_, [](const RangeKnob& knob) { return !usesLeft(knob.remaining); });
    for (const auto& knob : stalls_) {
        if (knob.route.matches(method, host, path)) {
            plan.stallGate = knob.gate;
            plan.stallAfterBytes = knob.afterBytes;
        }
    }
    return plan;
}

}  // namespace nimbuscrate::localservice
