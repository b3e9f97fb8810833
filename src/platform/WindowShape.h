#pragma once

#include <QRegion>
#include <QSize>
#include <functional>

class QWindow;

// A window's see-through pixels need a compositing manager; without one the X server shows
// whatever the pixels hold (black), so rounded corners would show as squares. Such a
// window is cut to its shape instead.

// The pixels of a `size` rectangle with corners of `radius` whose centres lie inside the
// rounded outline: the cut that matches an antialiased rounded rectangle of that size.
QRegion shapeRoundedRegion(QSize size, double radius);

// Calls `apply` with whether a compositing manager runs for the window's screen (the owner
// of the _NET_WM_CM_S<screen> selection) now and at each change, for the window's life.
// Returns false where that cannot be known (no X11): nothing is called then.
bool shapeFollowCompositor(QWindow* window, std::function<void(bool composited)> apply);
