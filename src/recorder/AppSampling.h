#pragma once

#include "TrafficTypes.h"

#include <QString>
#include <optional>

// Turning runs of the per-process tool into bytes per application. Pure: no clock, no I/O.

// Every line of the tool's output that names a process, in order. A line counts when it has at
// least six comma-separated fields and its field 1 has a "." with a non-empty name before the
// last one; fields 4 and 5 are the received and sent counts (anything but an optional sign and
// decimal digits, a negative count or one past 64 bits reads as 0).
ProcessSample appParseProcesses(const QString& output);

struct AppSampleStep {
    // Bytes to credit, per application name; names with nothing to credit are absent.
    AppSample growth;
    // What the next run is compared with; none after a failed run.
    std::optional<ProcessSample> reference;
};

// One run of the tool (none: it failed) against the reference kept from the previous runs.
// Growth is worked out per process and credited to the name the process has now:
// - a failed run credits nothing and leaves no reference, so the next good run only sets one
//   (its counts may include bytes from before the failure);
// - without a reference, a good run only sets one;
// - a process seen for the first time started after the reference was taken: its whole count
//   is growth;
// - a count lower than the reference's under the same identifier belongs to a new process
//   that reuses the identifier: its whole count is growth;
// - a good run that listed nothing is a real reference: processes that appear later count
//   from zero.
// A process is matched by identifier, first to an entry of the same name, else to one whose
// name it has changed from.
AppSampleStep appSampleStep(const std::optional<ProcessSample>& reference,
                            const std::optional<ProcessSample>& run);
