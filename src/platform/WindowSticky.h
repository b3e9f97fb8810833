#pragma once

class QWindow;

// Asks the window manager to show the window on every workspace and to leave it out of the
// taskbar, the pager and the window switcher. Call after the native window exists (winId())
// and before it is shown, so the request is part of the window's initial state; on X11 this
// is EWMH sticky, skip-taskbar and skip-pager plus the all-desktops index. Returns false
// where the platform offers no such request (Wayland, or no X connection).
bool stickMakeWindowSticky(QWindow* window);

// Keeps the window from being marked as demanding attention, which some window managers do
// to a window they declined to activate even though it never asked to be. Call once the
// native window exists; lasts as long as the window. Returns false where the platform has
// no such mark.
bool stickNeverDemandAttention(QWindow* window);
