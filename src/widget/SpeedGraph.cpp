#include "SpeedGraph.h"

#include <algorithm>

GraphLayout graphLayout(const std::array<double, SpeedStats::historyMax>& upHistory,
                        const std::array<double, SpeedStats::historyMax>& downHistory,
                        double viewWidth) {
    GraphLayout g;
    g.scale = kGraphScaleFloor;
    for (int i = 0; i < SpeedStats::historyMax; ++i) {
        const double combined = upHistory[i] + downHistory[i];
        if (combined >= g.scale) {
            g.scale = combined;
        }
    }
    g.step = (viewWidth - 2 * kGraphMargin) / SpeedStats::historyMax;
    g.barWidth = std::max(g.step - 1.2, 0.8);
    for (int i = 0; i < SpeedStats::historyMax; ++i) {
        const double x = kGraphMargin + g.step * i;
        const double downH = downHistory[i] / g.scale * kGraphHeight;
        const double upH = upHistory[i] / g.scale * kGraphHeight;
        g.bars[i].down = QRectF(x, kGraphTop, g.barWidth, downH);
        g.bars[i].up = QRectF(x, kGraphTop + downH, g.barWidth, upH);
    }
    return g;
}
