#include "Sampler.h"

#include <deque>
#include <gtest/gtest.h>

namespace {

TEST(Sampler, FailedReadsAndCounterDropsNeverBecomeASpike) {
    constexpr std::uint64_t G = 9'000'000'000;
    std::deque<std::optional<NetTotals>> reads = {std::nullopt}; // the start fails
    // A good tick reads the clock twice: for its interval, and after the counters for the
    // next baseline.
    std::deque<double> times = {0, 1, 1, 2, 3, 3.5, 4.5, 4.5, 4, 4, 5.5, 5.5, 6.5, 6.5};
    const auto pop = [](auto& q) {
        auto v = q.front();
        q.pop_front();
        return v;
    };
    Sampler sampler([&] { return pop(reads); }, [&] { return pop(times); });
    sampler.start();

    const struct {
        std::optional<NetTotals> read;
        double down, up;
    } ticks[] = {
        {NetTotals{G, G}, 0, 0}, // the first good reading is a baseline only
        {std::nullopt, 0, 0},    // a failed read shows zero and keeps the baseline
        {NetTotals{G + 4000, G + 2000}, 2000, 1000}, // from the last good one, over 2 s
        {NetTotals{G + 5000, G + 2000}, 1000, 0},    // over 1 s since the baseline after reading
        // The clock went back: the interval's floor; a direction that dropped counts nothing.
        {NetTotals{G + 6000, G + 1000}, 5000, 0},
        {NetTotals{0, 0}, 0, 0}, // the counters restarted: a new baseline
        {NetTotals{300, 100}, 300, 100},
    };
    SpeedStats s;
    for (std::size_t i = 0; i < std::size(ticks); ++i) {
        const auto& t = ticks[i];
        SCOPED_TRACE(i);
        reads.push_back(t.read);
        EXPECT_EQ(sampler.tick(s).readFailed, !t.read);
        EXPECT_EQ(s.downloadSpeed, t.down);
        EXPECT_EQ(s.uploadSpeed, t.up);
    }
    EXPECT_EQ(s.totalDown, 4000u + 1000 + 1000 + 300);
    EXPECT_EQ(s.peakDown, 5000);        // neither a smaller rate nor a quiet tick lowers it
    EXPECT_EQ(s.downHistory[57], 5000); // newest last
    EXPECT_EQ(s.downHistory[59], 300);

    // A reset clears peaks, totals and both histories but keeps the rate on show.
    s.reset();
    SpeedStats cleared;
    cleared.downloadSpeed = 300;
    cleared.uploadSpeed = 100;
    EXPECT_EQ(s, cleared);
}

} // namespace
