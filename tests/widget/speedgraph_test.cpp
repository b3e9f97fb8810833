#include "SpeedGraph.h"

#include <gtest/gtest.h>

namespace {

using History = std::array<double, SpeedStats::historyMax>;

TEST(SpeedGraph, ScaleAndHangingBars) {
    EXPECT_EQ(graphLayout(History{}, History{}, 216).scale, 1024); // silence keeps the floor
    History lone{};
    lone[0] = 512; // alone, still drawn against the floor
    EXPECT_DOUBLE_EQ(graphLayout(lone, History{}, 216).bars[0].up.height(), 10);

    // The scale is the largest combined rate; download hangs from the top, upload below it.
    History up{}, down{};
    down[59] = 3000;
    up[59] = 1000;
    up[30] = 1000;
    const GraphLayout g = graphLayout(up, down, 216);
    EXPECT_EQ(g.scale, 4000);
    EXPECT_EQ(g.bars[59].down, QRectF(g.bars[59].down.left(), 62, g.barWidth, 15));
    EXPECT_EQ(g.bars[59].up, QRectF(g.bars[59].down.left(), 77, g.barWidth, 5));
    EXPECT_DOUBLE_EQ(g.bars[30].up.top(), 62); // no download: the upload part hangs alone
}

TEST(SpeedGraph, NarrowViewsKeepEveryBarVisible) {
    // The width floor makes neighbours overlap rather than vanish.
    const GraphLayout g = graphLayout(History{}, History{}, 40);
    EXPECT_DOUBLE_EQ(g.barWidth, 0.8);
    EXPECT_GT(g.bars[0].down.right(), g.bars[1].down.left());
}

} // namespace
