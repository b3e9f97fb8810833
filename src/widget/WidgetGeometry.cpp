#include "WidgetGeometry.h"

#include <algorithm>
#include <cmath>

QPointF geomDragOrigin(QPointF pointer, QPointF dragOffset, double windowHeight,
                       const std::optional<QRectF>& visibleFrame) {
    const double x = pointer.x() - dragOffset.x();
    double y = pointer.y() - dragOffset.y();
    if (visibleFrame) {
        // QRectF's top() is the smaller y, which here is the bottom edge (y grows upwards).
        const double minY = visibleFrame->top();
        const double maxY = visibleFrame->bottom();
        if (y <= minY) {
            y = minY;
        }
        if (maxY - windowHeight < y) {
            y = maxY - windowHeight;
        }
    }
    return {x, y};
}

double geomMenuHeight(int itemCount) {
    return itemCount * 24.0 + 24.0;
}

QPointF geomMenuTopLeft(const QRectF& widget, const QRectF& visible, int itemCount) {
    const double x = std::min(widget.left(), visible.right() - 220);
    const double widgetMinY = widget.top();
    const double widgetMaxY = widget.bottom();
    const double y =
        geomMenuHeight(itemCount) <= widgetMinY - visible.top() ? widgetMinY - 2 : widgetMaxY + 2;
    return {x, y};
}
