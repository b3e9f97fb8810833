#pragma once

struct CommandLine;

// Prints the report the command line asked for and returns the exit status. Needs no display.
int reportRun(const CommandLine& command, int argc, char** argv);
