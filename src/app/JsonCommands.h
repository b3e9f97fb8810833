#pragma once

#include <optional>

// The command-line modes that move the traffic history in and out as JSON:
//   quillfern --export-json [FILE]   the whole history to FILE, or to standard output
//   quillfern --import-json FILE     merges FILE into the history (per figure, the larger)
// They need no display and work beside a running widget. Returns the exit status when the
// arguments ask for one of them, and nothing otherwise (the widget starts).
std::optional<int> runJsonCommand(int argc, char** argv);
