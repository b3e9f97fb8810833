#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

// Cumulative byte counters summed over every interface that is not a loopback.
struct NetTotals {
    std::uint64_t inBytes = 0;  // received
    std::uint64_t outBytes = 0; // sent

    friend bool operator==(const NetTotals&, const NetTotals&) = default;
};

// Sums the interface messages of a packed interface list (160-byte records, native byte
// order). Reads nothing outside [data, data + length): a message that starts fewer than
// 160 bytes before the end is not read, and a length field of 0 ends the walk after its
// own message. Sums saturate.
NetTotals netWalkInterfaceList(const unsigned char* data, std::size_t length);

// The current counters, or nullopt when the platform could not give the list (or gave
// an empty one). The sampler uses this to tell a failed read from real counters.
std::optional<NetTotals> tryReadNetTotals();

// The current counters; {0, 0} on every failure.
NetTotals readNetTotals();
