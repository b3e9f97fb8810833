#pragma once

#include <array>
#include <cstdint>

// The widget's statistics, written by the one-second tick, shown by the view and cleared
// from its menu.
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

    // Clears peaks, totals and both histories. The current rates stay until the next tick
    // replaces them, so the card does not flash zeros.
    void reset() {
        peakUp = 0;
        peakDown = 0;
        totalUp = 0;
        totalDown = 0;
        upHistory.fill(0);
        downHistory.fill(0);
    }

    friend bool operator==(const SpeedStats&, const SpeedStats&) = default;
};
