#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>

// How one run of a helper program ended.
enum class ToolEnd {
    Success,        // exited with status 0
    NotStarted,     // missing, not executable, or no process could be made
    Failed,         // exited with another status, or was killed by a signal
    TimedOut,       // still running at the time limit
    Cancelled,      // the caller's flag was raised
    OutputTooLarge, // printed more than the caller allows
};

struct ToolResult {
    ToolEnd end = ToolEnd::NotStarted;
    // Standard output as far as it was read; whole only when `end` is Success.
    QByteArray output;
};

// Runs `program` directly (no shell) with standard input inherited and standard error
// discarded, and collects its standard output. The program runs in a process group of its own,
// and however the run ends (the program's exit, the time limit, `cancel`, too much output, or
// this process dying) that whole group is killed and reaped, so nothing the program forked
// outlives the run. Blocking: call it on a worker thread.
ToolResult toolRun(const QString& program, const QStringList& arguments, int timeoutMs,
                   qint64 maxOutputBytes, const std::atomic<bool>* cancel = nullptr);
