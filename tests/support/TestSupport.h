#pragma once

// The end-to-end tests' one toolbox: child processes and temporary directories (Process.h),
// network namespaces (Netns.h), an X server driven by xdotool (XServer.h), the program's
// sandbox (Sandbox.h) and a byte-exact traffic generator (Traffic.h). Every object tidies up
// after itself on destruction, so a failed assertion never leaves a process, a namespace or
// a directory behind.
//
// Link the CMake target `quillfern_test_support`. Needs no Qt.

#include "Netns.h"
#include "Process.h"
#include "Sandbox.h"
#include "Traffic.h"
#include "XServer.h"
