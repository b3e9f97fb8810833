#include "WindowShape.h"

#include <QRect>
#include <algorithm>
#include <cmath>

QRegion shapeRoundedRegion(QSize size, double radius) {
    const int w = size.width();
    const int h = size.height();
    if (w <= 0 || h <= 0) {
        return {};
    }
    const double r = std::clamp(radius, 0.0, std::min(w, h) / 2.0);
    QRegion region;
    const int band = static_cast<int>(std::ceil(r));
    for (int y = 0; y < h; ++y) {
        // Rows in the corner bands are inset by the arc at their pixel centre.
        const double cy = y + 0.5;
        const double dy = cy < r ? r - cy : (cy > h - r ? cy - (h - r) : 0.0);
        if (dy == 0.0 && y >= band && y < h - band) {
            continue; // the straight middle, added whole below
        }
        const double inset = r - std::sqrt(std::max(0.0, r * r - dy * dy));
        const int left = static_cast<int>(std::ceil(inset - 0.5));
        const int right = static_cast<int>(std::floor(w - inset - 0.5));
        if (right >= left) {
            region += QRect(left, y, right - left + 1, 1);
        }
    }
    if (h - 2 * band > 0) {
        region += QRect(0, band, w, h - 2 * band);
    }
    return region;
}
