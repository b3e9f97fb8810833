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
