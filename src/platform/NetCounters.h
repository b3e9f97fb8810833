#pragma once

#include "LinkCounter.h"
#include "NetLinks.h"

#include <optional>

// The network links of this machine (of its network namespace, on Linux) with their
// cumulative byte counters, read the way each OS offers them. Which links count towards the
// widget's figures is decided above this layer (NetLinks.h), from what is read here.

// One reading of every link; nullopt when the OS could not give the list.
std::optional<LinkTable> netReadLinks();

#ifdef __linux__
// Reads the counters from /proc/net/dev instead of RTM_GETSTATS, as on kernels before 4.7.
// For tests and the benchmark; the reader switches on its own when the kernel refuses.
void netForceProcFallback(bool force);
#endif

// The counter every reader of the program shares, over this machine's links.
LinkCounter& netSharedCounter();
// Its current counters, or nullopt when the OS could not give the list. The sampler uses this
// to tell a failed read from real counters.
std::optional<NetTotals> tryReadNetTotals();
