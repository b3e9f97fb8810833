#pragma once

#include <array>
#include <cstdint>

// The widget's statistics, written by the one-second tick, read and reset by the menu.
struct SpeedStats {
    static constexpr int historyMax = 60;

    double uploadSpeed = 0;   // bytes per second, latest tick
    double downloadSpeed = 0; // bytes per second, latest tick
    double peakUp = 0;
    double peakDown = 0;
    std::uint64_t totalUp = 0;   // bytes sent since start or the last reset
    std::uint64_t totalDown = 0; // bytes received since start or the last reset
    // Rates of the last 60 ticks, oldest at index 0, newest last. Always 60 entries.
    std::array<double, historyMax> upHistory{};
    std::array<double, historyMax> downHistory{};
};
