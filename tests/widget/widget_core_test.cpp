// The sampler that turns counter readings into rates, and the graph laid out from them.

#include "Sampler.h"
#include "SpeedGraph.h"

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
    EXPECT_EQ(s, (SpeedStats{.uploadSpeed = 100, .downloadSpeed = 300}));
}

using History = std::array<double, SpeedStats::historyMax>;

TEST(SpeedGraph, BarsScaleToTheLargestRateAndNeverVanish) {
    History up{}, down{};
    EXPECT_EQ(graphLayout(up, down, 216).scale, kGraphScaleFloor); // silence keeps the floor
    down[59] = 3000;
    up[59] = 1000;
    up[30] = 1000;
    const GraphLayout g = graphLayout(up, down, 216);
    EXPECT_EQ(g.scale, 4000); // the largest combined rate
    // The fullest bar takes the whole height, download on top and upload just below, 3 : 1.
    const GraphBar& full = g.bars[59];
    EXPECT_DOUBLE_EQ(full.down.height() + full.up.height(), kGraphHeight);
    EXPECT_DOUBLE_EQ(full.down.height(), 3 * full.up.height());
    EXPECT_DOUBLE_EQ(full.up.top(), full.down.bottom());
    EXPECT_DOUBLE_EQ(g.bars[30].up.top(), full.down.top()); // no download: upload hangs alone

    // On a narrow view neighbours overlap rather than vanish.
    const GraphLayout narrow = graphLayout(up, down, 40);
    EXPECT_GT(narrow.barWidth, 0);
    EXPECT_GT(narrow.bars[0].down.right(), narrow.bars[1].down.left());
}

} // namespace
