#include "SpeedGraph.h"

#include <gtest/gtest.h>

namespace {

using History = std::array<double, SpeedStats::historyMax>;

double total(const GraphBar& b) {
    return b.down.height() + b.up.height();
}

TEST(SpeedGraph, AllZeroHistoriesGiveFlatBarsAtTheFloorScale) {
    const GraphLayout g = graphLayout(History{}, History{}, 216);
    EXPECT_EQ(g.scale, 1024);
    for (const GraphBar& b : g.bars) {
        EXPECT_EQ(b.down.height(), 0);
        EXPECT_EQ(b.up.height(), 0);
        EXPECT_EQ(b.down.top(), 62);
    }
}

TEST(SpeedGraph, ScaleIsTheLargestCombinedRateWithAFloor) {
    History up{}, down{};
    down[10] = 1500; // 2048 combined: the largest
    up[10] = 548;
    down[20] = 1024; // half of the largest
    up[30] = 512;
    GraphLayout g = graphLayout(up, down, 216);
    EXPECT_EQ(g.scale, 2048);
    EXPECT_DOUBLE_EQ(total(g.bars[10]), 20);
    EXPECT_DOUBLE_EQ(total(g.bars[20]), 10);
    EXPECT_DOUBLE_EQ(total(g.bars[30]), 5);

    // Alone, 512 still draws against the 1024 floor.
    History lone{};
    lone[0] = 512;
    g = graphLayout(lone, History{}, 216);
    EXPECT_EQ(g.scale, 1024);
    EXPECT_DOUBLE_EQ(g.bars[0].up.height(), 10);
}

TEST(SpeedGraph, DownloadHangsFirstThenUpload) {
    History up{}, down{};
    down[59] = 3000;
    up[59] = 1000;
    down[0] = 100;
    const GraphLayout g = graphLayout(up, down, 216);
    EXPECT_EQ(g.scale, 4000);
    const GraphBar& b = g.bars[59];
    EXPECT_DOUBLE_EQ(b.down.top(), 62);
    EXPECT_DOUBLE_EQ(b.down.bottom(), 77);
    EXPECT_DOUBLE_EQ(b.up.top(), 77);
    EXPECT_DOUBLE_EQ(b.up.bottom(), 82);
    EXPECT_DOUBLE_EQ(g.bars[0].up.top(), g.bars[0].down.bottom());
}

TEST(SpeedGraph, HorizontalLayoutFollowsTheWidth) {
    GraphLayout g = graphLayout(History{}, History{}, 216);
    EXPECT_DOUBLE_EQ(g.step, 188.0 / 60);
    EXPECT_NEAR(g.barWidth, 1.9333, 1e-4);
    EXPECT_DOUBLE_EQ(g.bars[0].down.left(), 14);
    EXPECT_NEAR(g.bars[59].down.left(), 198.8667, 1e-4);
    EXPECT_DOUBLE_EQ(g.bars[59].up.width(), g.barWidth);
    EXPECT_LE(g.bars[59].down.right(), 216 - 14);

    // Narrow view: the width floor makes neighbours overlap.
    g = graphLayout(History{}, History{}, 40);
    EXPECT_DOUBLE_EQ(g.step, 0.2);
    EXPECT_DOUBLE_EQ(g.barWidth, 0.8);
    EXPECT_GT(g.bars[0].down.right(), g.bars[1].down.left());
}

} // namespace
