#pragma once

#include <cstdint>
#include <limits>

// Byte counts never wrap: a sum that would pass 2^64 - 1 stays there, and a difference
// that would go below zero is zero.
constexpr std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t sum = a + b;
    return sum < a ? std::numeric_limits<std::uint64_t>::max() : sum;
}

constexpr std::uint64_t saturatingSub(std::uint64_t a, std::uint64_t b) {
    return b > a ? 0 : a - b;
}

// Bytes received (in, down) and sent (out, up): of a link, a process, an application, a day.
// Plain C++, so the per-process tool shares it.
struct ByteCounts {
    std::uint64_t in = 0;
    std::uint64_t out = 0;

    constexpr std::uint64_t total() const { return saturatingAdd(in, out); }
    constexpr bool isZero() const { return in == 0 && out == 0; }

    constexpr ByteCounts& operator+=(ByteCounts more) {
        in = saturatingAdd(in, more.in);
        out = saturatingAdd(out, more.out);
        return *this;
    }
    friend constexpr ByteCounts operator+(ByteCounts a, ByteCounts b) { return a += b; }
    friend bool operator==(const ByteCounts&, const ByteCounts&) = default;
};

// What each count grew by since `before`; a count that went down grew by nothing.
constexpr ByteCounts growthSince(ByteCounts now, ByteCounts before) {
    return {saturatingSub(now.in, before.in), saturatingSub(now.out, before.out)};
}

// The cumulative counters of the counted links.
using NetTotals = ByteCounts;
