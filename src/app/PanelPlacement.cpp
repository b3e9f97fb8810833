#include "PanelPlacement.h"

#include "FrameString.h"
#include "SpeedView.h"

#include <cmath>

namespace {

// X11 window sizes and positions are 16-bit; nothing larger can be a real panel.
constexpr double largestCoordinate = 32767;

bool usableStoredFrame(const QRectF& r) {
    const double values[] = {r.x(), r.y(), r.width(), r.height()};
    for (double v : values) {
        if (!std::isfinite(v) || std::abs(v) > largestCoordinate) {
            return false;
        }
    }
    return r.width() > 10;
}

} // namespace

QRectF placeDefaultFrame(const std::optional<QRectF>& mainVisibleFrame) {
    const QRectF visible = mainVisibleFrame.value_or(placeNoScreenArea);
    const QSizeF size = SpeedView::widgetSize;
    // QRectF's right()/bottom() are the maximum x and y (y grows upwards here).
    return {visible.right() - size.width() - 16, visible.bottom() - size.height() - 12,
            size.width(), size.height()};
}

QRectF placeRestoredFrame(const QString& stored, const std::optional<QRectF>& mainVisibleFrame,
                          const std::vector<QRectF>& visibleFrames) {
    QRectF frame = frameFromString(stored);
    if (!usableStoredFrame(frame)) {
        frame = QRectF(QPointF(0, 0), SpeedView::widgetSize);
    }
    if (visibleFrames.empty()) {
        return frame;
    }
    // A panel of no height shows nothing to click on, wherever it is.
    if (frame.height() > 0) {
        for (const QRectF& visible : visibleFrames) {
            if (visible.intersects(frame)) {
                return frame;
            }
        }
    }
    return placeDefaultFrame(mainVisibleFrame);
}

QRectF placePanelFrame(const std::optional<QString>& stored,
                       const std::optional<QRectF>& mainVisibleFrame,
                       const std::vector<QRectF>& visibleFrames) {
    if (stored) {
        return placeRestoredFrame(*stored, mainVisibleFrame, visibleFrames);
    }
    return placeDefaultFrame(mainVisibleFrame);
}
