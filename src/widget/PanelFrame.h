#pragma once

#include <QPointF>
#include <QRectF>

class QWidget;

// Where the program put a top-level window, in screen coordinates (origin bottom-left of
// the primary screen, y up). Window managers that reparent a frameless window into a frame
// of their own report its position relative to that frame, or late, so the position Qt
// reads back can be (0, 0) while the card sits in the corner. The program moves the panel
// itself, so the frame it last set is the truth for dragging, the menu and the stored frame.

// Moves `window` so its frame's origin is `origin` (rounded to whole pixels on the display)
// and remembers `origin` as given.
void panelPlaceWindow(QWidget& window, QPointF origin);

// The top-left corner in Qt's coordinates (y down) of the frame the window was placed at.
QPoint panelQtTopLeft(const QWidget& window);

// The window's frame at the origin it was last placed at, with its own size; Qt's idea of
// the frame if it was never placed.
QRectF panelWindowFrame(const QWidget& window);
