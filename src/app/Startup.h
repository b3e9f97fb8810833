#pragma once

#include <QByteArray>

// What a later launch sends the running instance: open the history window.
inline constexpr char appShowHistoryMessage[] = "show-history";

// The whole program: reads the command line (the modes that need no display end there),
// makes sure a display answers, then sets up the panel, the first reading and the
// one-second timer and runs the event loop. Returns the exit status.
int appRun(int argc, char** argv);
