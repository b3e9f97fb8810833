#pragma once

#include "NetCounters.h"
#include "SpeedStats.h"

#include <cstdint>
#include <functional>
#include <optional>

// What one tick measured. The same deltas feed the traffic recorder.
struct TickResult {
    ByteCounts bytes;  // since the previous reading; 0 where the sum dropped
    double upRate = 0; // bytes per second
    double downRate = 0;
    double interval = 0;     // seconds the deltas were divided by (at least 0.2); 0 if unread
    bool readFailed = false; // the platform gave no counters; nothing was counted
};

inline constexpr double kMinTickInterval = 0.2;

// One tick's arithmetic, written into the statistics: rates, peaks, totals and one new
// entry at the end of each history. `current` empty means the read failed; `last` empty
// means there is no baseline yet. Either way the tick counts nothing and shows 0, so that
// a missing reading never turns the interfaces' whole cumulative counters into one tick.
TickResult sampleTick(SpeedStats& stats, const std::optional<NetTotals>& last,
                      const std::optional<NetTotals>& current, double elapsedSeconds);

// The sampler's state between ticks: the previous good reading and when it was taken.
// Time comes from a monotonic clock, so setting the wall clock never skews a rate. The
// reader and the clock are injectable for tests.
class Sampler {
public:
    using Reader = std::function<std::optional<NetTotals>()>;
    using Clock = std::function<double()>; // seconds, monotonic

    static double monotonicSeconds();

    explicit Sampler(Reader reader = tryReadNetTotals, Clock clock = monotonicSeconds);

    // Takes the first reading, so that the first tick measures from here.
    void start();

    // Reads the counters and writes the tick into stats. The caller redraws.
    TickResult tick(SpeedStats& stats);

private:
    Reader m_reader;
    Clock m_clock;
    std::optional<NetTotals> m_lastTotals;
    double m_lastTime = 0;
};
