#pragma once

class QWindow;

// Asks the window manager to show the window on every workspace. Call after the native
// window exists (winId()) and before it is shown, so the request is part of the window's
// initial state; on X11 this is EWMH sticky plus the all-desktops index. Returns false
// where the platform offers no such request (Wayland, or no X connection).
bool stickMakeWindowSticky(QWindow* window);
