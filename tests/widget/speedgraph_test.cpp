#include "SpeedGraph.h"

#include <gtest/gtest.h>

namespace {

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
