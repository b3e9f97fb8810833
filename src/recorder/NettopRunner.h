#pragma once

#include <QString>
#include <QStringList>
#include <atomic>

// One run of the per-process tool.
struct NettopRun {
    // Why the run does not count, in words for the log; empty when it does.
    QString failure;
    // The tool's standard output; empty unless the run counts.
    QString output;

    bool ok() const { return failure.isEmpty(); }
};

// Runs the per-process tool once. The run counts only when the tool started, exited with
// status 0 within `timeoutMs`, was not cancelled, printed a sane amount and printed valid
// UTF-8; otherwise whatever it printed is dropped. The tool and everything it forked are
// ended and reaped before this returns. Blocking: call it on the recorder's worker thread,
// never on the main thread.
NettopRun runNettop(const QString& program, const QStringList& arguments, int timeoutMs,
                    const std::atomic<bool>* cancel = nullptr);
