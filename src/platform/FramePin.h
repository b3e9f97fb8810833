#pragma once

#include <QPoint>
#include <functional>

class QWindow;

// Some window managers place a new frameless window as if it had their usual frame and then
// drop the frame around the window where it stands: i3 puts the frame's corner where the
// window asked to be, then removes border and title bar for a window that wants no
// decorations and keeps the window itself in place, 2 px right and a title bar's height
// lower than asked. Once a manager has taken the window into its frame, the window asks
// for its place once more with the EWMH request that names the window's own corner
// (_NET_MOVERESIZE_WINDOW, static gravity); managers that placed it right have nothing to
// do. Nothing is read back: the place asked for is `wantedTopLeft()`, the program's own.
// Returns false where there is no such request (no X11).
bool pinToPlacedOrigin(QWindow* window, std::function<QPoint()> wantedTopLeft);
