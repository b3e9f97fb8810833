#pragma once

#include <QByteArray>

// Whether a display server answers, asked before the GUI library starts: Qt aborts the
// program when it cannot reach the display it picked, so start-up asks first and can say
// what is missing instead.

// Connects to the X server named like DISPLAY (":0", "host:1.0"); true when it accepts us.
bool dispX11Answers(const QByteArray& display);

// Connects to the Wayland compositor's socket named like WAYLAND_DISPLAY (a name under
// `runtimeDir`, or an absolute path); true when something listens there.
bool dispWaylandAnswers(const QByteArray& waylandDisplay, const QByteArray& runtimeDir);
