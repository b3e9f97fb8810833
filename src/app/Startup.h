#pragma once

#include <QByteArray>

// The platform plugin to force before the application object exists, or empty. Inside a
// Wayland session the compositor decides where windows go; through XWayland (when an X
// display is there too) the panel can be placed and its position restored. A platform the
// user chose is left alone.
QByteArray appForcedPlatform(bool waylandDisplaySet, bool displaySet, bool userChosePlatform);

// What a later launch sends the running instance: open the history window.
inline constexpr char appShowHistoryMessage[] = "show-history";

// The whole program: sets up the panel, the first reading and the one-second timer, then
// runs the event loop. Returns the exit status.
int appRun(int argc, char** argv);
