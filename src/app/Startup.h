#pragma once

#include <QByteArray>

// What a later launch sends the running instance: open the history window.
inline constexpr char appShowHistoryMessage[] = "show-history";

struct CommandLine;

// The widget: makes sure a display answers, then sets up the panel, the first reading and
// the one-second timer and runs the event loop. Returns the exit status.
int appRun(const CommandLine& command, int argc, char** argv);
