#pragma once

class QWindow;

// Asks the window manager to show the window on every workspace and to leave it out of the
// taskbar, the pager and the window switcher. Call after the native window exists (winId())
// and before it is shown, so the request is part of the window's initial state; on X11 this
// is EWMH sticky, skip-taskbar and skip-pager plus the all-desktops index, kept for the
// window's life against a manager that moves it to one desktop or marks it as demanding
// attention (see the X11 implementation). Returns false where the platform offers no such
// request (Wayland, or no X connection).
bool stickMakeWindowSticky(QWindow* window);
