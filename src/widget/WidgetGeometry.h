#pragma once

#include <QPointF>
#include <QRectF>
#include <optional>

// Placement arithmetic for dragging the panel and opening its menu. Every point and
// rectangle is in screen coordinates: origin bottom-left of the primary screen, y up.

// The panel origin for a pointer position during a drag. Vertically the panel stays inside
// the visible frame of its screen (the top limit wins when the panel is taller than that
// frame); horizontally it follows the pointer without limit. No screen: no limits.
QPointF geomDragOrigin(QPointF pointer, QPointF dragOffset, double windowHeight,
                       const std::optional<QRectF>& visibleFrame);

// Estimated menu height for a number of items.
double geomMenuHeight(int itemCount);

// Top-left corner of the context menu for a widget at `widget` on a screen whose visible
// frame is `visible`: under the widget when the estimated height fits beneath it, above it
// otherwise, and never starting closer than 220 to the visible frame's right edge.
QPointF geomMenuTopLeft(const QRectF& widget, const QRectF& visible, int itemCount);
