#pragma once

#include <compare>

namespace nimbuscrate {

// An instant, held as 64-bit float seconds since 2001-01-01T00:00:00Z (the
// reference date of the session JSON). The mapping database stores Unix
// seconds; encryption records carry milliseconds since 1970.
class Date {
public:
    // Seconds from the Unix epoch to the reference date.
    static constexpr double kReferenceDateUnixSeconds = 978307200.0;

    constexpr Date() = default;
    static constexpr Date fromReferenceSeconds(double seconds) { return Date(seconds); }
    static constexpr Date fromUnixSeconds(double seconds) { return Date(seconds - kReferenceDateUnixSeconds); }
    static Date now();
    // 1 January of year 1: the earliest date the system uses (the root item's date).
    static constexpr Date distantPast() { return Date(-63114076800.0); }

    constexpr double referenceSeconds() const { return seconds_; }
    constexpr double unixSeconds() const { return seconds_ + kReferenceDateUnixSeconds; }

    constexpr Date addingSeconds(double seconds) const { return Date(seconds_ + seconds); }

    constexpr bool operator==(const Date&) const = default;
    constexpr auto operator<=>(const Date&) const = default;

private:
    constexpr explicit Date(double seconds) : seconds_(seconds) {}
    double seconds_ = 0;
};

}  // namespace nimbuscrate
