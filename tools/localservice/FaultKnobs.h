#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nimbuscrate::localservice {

// The requests a knob applies to: method ("" = any, compared
// case-insensitively), host ("" = any) and a prefix of the decoded path.
struct Route {
    std::string method;
    std::string host;
    std::string pathPrefix;

    bool matches(std::string_view method, std::string_view host, std::string_view path) const;
};

// A gate that holds matching requests before their reply until the test
// opens it. Opening is permanent; the service opens every gate when it stops.
class HoldGate {
public:
    void open();
    bool isOpen() const;
    // Number of requests that have reached the gate so far.
    std::size_t arrivals() const;
    // Waits until at least `count` requests reached the gate.
    bool waitForArrivals(std::size_t count, std::chrono::milliseconds timeout) const;

    // Used by the service: counts the arrival and blocks until opened.
    void pass();

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool open_ = false;
    std::size_t arrivals_ = 0;
};

// A reply written by the test instead of the route's own: status, header
// fields as given (for example "Location" for a redirect) and body, framed
// with Content-Length or, when `chunked`, as chunks. The framing fields are
// the service's own: give neither "Content-Length" nor "Transfer-Encoding".
struct ReplyOverride {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    bool chunked = false;
};

// Ways a server gets a ranged GET wrong; each changes a reply the route
// itself made.
enum class RangeFault {
    ignoreRange,    // the "Range" header is ignored: 200 with the whole file
    unknownTotal,   // a 206's "Content-Range" gives "*" as the total
    wrongTotal,     // a 206's "Content-Range" gives the total plus 1
    oneByteMore,    // a 206 carries one byte after its range (framed for it)
    oneByteLess,    // a 206 leaves out the last byte of its range (framed for it)
};

// What the knobs decided for one request.
struct FaultPlan {
    std::optional<ReplyOverride> reply;  // reply with this instead of the route's own
    std::chrono::milliseconds delay{0};
    std::vector<std::shared_ptr<HoldGate>> gates;
    std::vector<std::shared_ptr<HoldGate>> replyGates;  // passed after the route handled the request
    bool dropConnection = false;
    std::size_t slowChunkBytes = 0;  // 0 = send the body normally
    std::chrono::milliseconds slowPause{0};
    std::optional<RangeFault> rangeFault;
    // Stall: after this many body bytes the reply waits at the gate.
    std::shared_ptr<HoldGate> stallGate;
    std::size_t stallAfterBytes = 0;
};

// Thread-safe registry of the per-route faults. A request gets every knob
// whose route matches it; counted knobs are used up one call at a time.
class FaultKnobs {
public:
    // `times` for the counted knobs: how many calls use it (kEveryCall: no limit).
    static constexpr int kEveryCall = -1;

    void overrideReply(Route route, ReplyOverride reply, int times);
    void delay(Route route, std::chrono::milliseconds delay);
    std::shared_ptr<HoldGate> hold(Route route, bool afterHandling = false);
    void dropConnection(Route route, int times);
    void slowBody(Route route, std::size_t chunkBytes, std::chrono::milliseconds pause);
    void rangeFault(Route route, RangeFault fault, int times);
    std::shared_ptr<HoldGate> stallBody(Route route, std::size_t afterBytes);
    // Removes every knob and opens every gate.
    void clear();

    FaultPlan planFor(std::string_view method, std::string_view host, std::string_view path);

private:
    struct ReplyKnob { Route route; ReplyOverride reply; int remaining; };
    struct DelayKnob { Route route; std::chrono::milliseconds delay; };
    struct HoldKnob { Route route; std::shared_ptr<HoldGate> gate; bool afterHandling = false; };
    struct DropKnob { Route route; int remaining; };
    struct SlowKnob { Route route; std::size_t chunkBytes; std::chrono::milliseconds pause; };
    struct RangeKnob { Route route; RangeFault fault; int remaining; };
    struct StallKnob { Route route; std::shared_ptr<HoldGate> gate; std::size_t afterBytes; };

    std::mutex mutex_;
    std::vector<ReplyKnob> replies_;
    std::vector<DelayKnob> delays_;
    std::vector<HoldKnob> holds_;
    std::vector<DropKnob> drops_;
    std::vector<SlowKnob> slows_;
    std::vector<RangeKnob> ranges_;
    std::vector<StallKnob> stalls_;
};

}  // namespace nimbuscrate::localservice
