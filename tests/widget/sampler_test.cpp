#include "Sampler.h"

#include <deque>
#include <gtest/gtest.h>

namespace {

constexpr std::uint64_t kMax = UINT64_MAX;

// Sampler fed from scripted readings and a scripted clock.
struct Script {
    std::deque<std::optional<NetTotals>> reads;
    std::deque<double> times;
    Sampler sampler{[this] {
                        auto r = reads.front();
                        reads.pop_front();
                        return r;
                    },
                    [this] {
                        const double t = times.front();
                        if (times.size() > 1) {
                            times.pop_front();
                        }
                        return t;
                    }};
};

TEST(SampleTick, IntervalHasAFloorButNoCeiling) {
    SpeedStats s;
    TickResult r = sampleTick(s, NetTotals{0, 0}, NetTotals{0, 1000}, 0.05);
    EXPECT_EQ(r.interval, 0.2);
    EXPECT_EQ(s.uploadSpeed, 5000);
    r = sampleTick(s, NetTotals{0, 0}, NetTotals{0, 1000}, -3); // clock went nowhere
    EXPECT_EQ(s.uploadSpeed, 5000);
    r = sampleTick(s, NetTotals{100, 0}, NetTotals{600, 1000}, 2.5);
    EXPECT_EQ(s.uploadSpeed, 400);
    EXPECT_EQ(s.downloadSpeed, 200);
    sampleTick(s, NetTotals{0, 0}, NetTotals{0, 1000}, 100);
    EXPECT_EQ(s.uploadSpeed, 10);
}

TEST(SampleTick, EachDirectionDropsToZeroOnItsOwn) {
    SpeedStats s;
    const TickResult r = sampleTick(s, NetTotals{1000, 5000}, NetTotals{3000, 4000}, 1);
    EXPECT_EQ(r.sent, 0u);
    EXPECT_EQ(r.received, 2000u);
    EXPECT_EQ(s.uploadSpeed, 0);
    EXPECT_EQ(s.downloadSpeed, 2000);
    EXPECT_EQ(s.totalUp, 0u);
    EXPECT_EQ(s.totalDown, 2000u);
}

TEST(SampleTick, PeaksTotalsAndHistories) {
    SpeedStats s;
    s.peakUp = 500;
    s.totalDown = kMax - 10;
    sampleTick(s, NetTotals{0, 0}, NetTotals{100, 500}, 1);
    EXPECT_EQ(s.peakUp, 500);
    EXPECT_EQ(s.peakDown, 100);
    EXPECT_EQ(s.totalDown, kMax); // held, not wrapped
    sampleTick(s, NetTotals{0, 0}, NetTotals{0, 0}, 1);
    EXPECT_EQ(s.peakUp, 500); // a quiet tick never lowers a peak
    EXPECT_EQ(s.peakDown, 100);
    EXPECT_EQ(s.totalDown, kMax);

    for (int i = 1; i <= 100; ++i) {
        sampleTick(s, NetTotals{0, 0}, NetTotals{static_cast<std::uint64_t>(i), 0}, 1);
    }
    EXPECT_EQ(s.downHistory.front(), 41);
    EXPECT_EQ(s.downHistory.back(), 100);
    EXPECT_EQ(s.upHistory.back(), 0);
    EXPECT_EQ(s.peakDown, 100);
}

TEST(Sampler, FailedReadKeepsTheBaselineAndShowsZero) {
    Script sc;
    sc.reads = {NetTotals{1'000'000, 1'000'000}, std::nullopt, NetTotals{1'004'000, 1'002'000}};
    sc.times = {10.0, 11.0, 12.0, 12.0};
    sc.sampler.start();
    SpeedStats s;
    s.downHistory.back() = 7;
    s.peakDown = 50;

    TickResult r = sc.sampler.tick(s);
    EXPECT_TRUE(r.readFailed);
    EXPECT_EQ(s.downloadSpeed, 0);
    EXPECT_EQ(s.downHistory.back(), 0);
    EXPECT_EQ(s.downHistory[58], 7);
    EXPECT_EQ(s.peakDown, 50);
    EXPECT_EQ(sc.sampler.lastTotals(), (NetTotals{1'000'000, 1'000'000}));
    EXPECT_EQ(sc.sampler.lastTime(), 10.0);

    // The next good read measures from the last good one, over both seconds.
    r = sc.sampler.tick(s);
    EXPECT_FALSE(r.readFailed);
    EXPECT_EQ(r.received, 4000u);
    EXPECT_EQ(r.sent, 2000u);
    EXPECT_EQ(s.downloadSpeed, 2000);
    EXPECT_EQ(s.uploadSpeed, 1000);
}

TEST(Sampler, RealDropBecomesTheBaseline) {
    Script sc;
    sc.reads = {NetTotals{5000, 5000}, NetTotals{0, 0}, NetTotals{300, 100}};
    sc.times = {0, 1, 1, 2, 2};
    sc.sampler.start();
    SpeedStats s;
    TickResult r = sc.sampler.tick(s);
    EXPECT_FALSE(r.readFailed);
    EXPECT_EQ(s.uploadSpeed + s.downloadSpeed, 0);
    EXPECT_EQ(sc.sampler.lastTotals(), (NetTotals{0, 0}));
    r = sc.sampler.tick(s);
    EXPECT_EQ(s.downloadSpeed, 300);
    EXPECT_EQ(s.uploadSpeed, 100);
}

TEST(Sampler, FailedFirstReadCountsNothingOnTheFirstGoodOne) {
    Script sc;
    sc.reads = {std::nullopt, NetTotals{9'000'000'000, 9'000'000'000},
                NetTotals{9'000'001'000, 9'000'000'000}};
    sc.times = {0, 1, 1, 2, 2};
    sc.sampler.start();
    SpeedStats s;
    TickResult r = sc.sampler.tick(s);
    EXPECT_FALSE(r.readFailed);
    EXPECT_EQ(r.received, 0u);
    EXPECT_EQ(s.totalDown, 0u);
    r = sc.sampler.tick(s);
    EXPECT_EQ(s.downloadSpeed, 1000);
}

TEST(Sampler, TakesTheBaselineTimeAfterReading) {
    // The time stored for the next interval is read after the counters, not reused.
    Script sc;
    sc.reads = {NetTotals{}, NetTotals{0, 1000}, NetTotals{0, 2000}};
    sc.times = {0.0, 1.0, 1.5, 2.5};
    sc.sampler.start();
    SpeedStats s;
    sc.sampler.tick(s);
    EXPECT_EQ(s.uploadSpeed, 1000);
    EXPECT_EQ(sc.sampler.lastTime(), 1.5);
    sc.sampler.tick(s);
    EXPECT_EQ(s.uploadSpeed, 1000); // 1000 bytes over 2.5 - 1.5
}

} // namespace
