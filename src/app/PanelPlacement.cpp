#include "PanelPlacement.h"

#include "FrameString.h"
#include "SpeedView.h"

#include <algorithm>
#include <cmath>

namespace {

// X11 window positions are 16-bit; an origin beyond them was not written by a real panel.
constexpr double largestCoordinate = 32767;

bool usableOrigin(QPointF origin) {
    return std::isfinite(origin.x()) && std::isfinite(origin.y()) &&
           std::abs(origin.x()) <= largestCoordinate && std::abs(origin.y()) <= largestCoordinate;
}

double overlapArea(const QRectF& a, const QRectF& b) {
    const QRectF overlap = a.intersected(b);
    return overlap.width() * overlap.height();
}

} // namespace

QRectF placeDefaultFrame(const std::optional<QRectF>& mainVisibleFrame) {
    const QRectF visible = mainVisibleFrame.value_or(placeNoScreenArea);
    const QSizeF size = SpeedView::widgetSize;
    // QRectF's right()/bottom() are the maximum x and y (y grows upwards here).
    return {visible.right() - size.width() - 16, visible.bottom() - size.height() - 12,
            size.width(), size.height()};
}

QRectF placeKeepInside(const QRectF& card, const QRectF& area) {
    // Lower limit applied last: a card larger than the area keeps its left edge, and its top
    // edge (the larger y) on the area's top.
    const double x = std::max(std::min(card.x(), area.right() - card.width()), area.left());
    const double y = std::min(std::max(card.y(), area.top()), area.bottom() - card.height());
    return {x, y, card.width(), card.height()};
}

QRectF placeRestoredFrame(const QString& stored, const std::optional<QRectF>& mainVisibleFrame,
                          const std::vector<QRectF>& visibleFrames) {
    const std::optional<QRectF> read = frameReadString(stored);
    if (!read || !usableOrigin(read->topLeft())) {
        return placeDefaultFrame(mainVisibleFrame);
    }
    const QRectF card(read->topLeft(), SpeedView::widgetSize);
    if (visibleFrames.empty()) {
        return card;
    }
    const QRectF* best = nullptr;
    double bestArea = 0;
    for (const QRectF& visible : visibleFrames) {
        const double area = overlapArea(card, visible);
        if (area > bestArea) {
            bestArea = area;
            best = &visible;
        }
    }
    if (!best) {
        return placeDefaultFrame(mainVisibleFrame);
    }
    return placeKeepInside(card, *best);
}

QRectF placePanelFrame(const std::optional<QString>& stored,
                       const std::optional<QRectF>& mainVisibleFrame,
                       const std::vector<QRectF>& visibleFrames) {
    if (stored) {
        return placeRestoredFrame(*stored, mainVisibleFrame, visibleFrames);
    }
    return placeDefaultFrame(mainVisibleFrame);
}
