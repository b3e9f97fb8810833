#pragma once

#include "SpeedStats.h"

#include <QRectF>
#include <array>

// Geometry of the widget's 60-bar history graph. Each bar hangs from y = 62: the download
// part first, downwards, then the upload part below it; together at most 20 tall.
struct GraphBar {
    QRectF down;
    QRectF up;
};

struct GraphLayout {
    double scale = 0;    // largest combined rate in the history, never below 1024
    double step = 0;     // distance between the left edges of neighbouring bars
    double barWidth = 0; // step - 1.2, never below 0.8 (bars overlap on narrow views)
    std::array<GraphBar, SpeedStats::historyMax> bars{};
};

inline constexpr double kGraphTop = 62;
inline constexpr double kGraphHeight = 20;
inline constexpr double kGraphMargin = 14;
inline constexpr double kGraphScaleFloor = 1024;

GraphLayout graphLayout(const std::array<double, SpeedStats::historyMax>& upHistory,
                        const std::array<double, SpeedStats::historyMax>& downHistory,
                        double viewWidth);
