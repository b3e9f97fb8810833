#pragma once

#include <QString>
#include <QStringList>
#include <atomic>

// Runs the per-process tool once and returns its standard output, or "" when it cannot start,
// runs past `timeoutMs`, is cancelled, prints more than a sane amount or prints invalid UTF-8.
// A child that runs too long is killed and reaped before this returns. Blocking: call it on
// the recorder's worker thread, never on the main thread. `problem`, when given, receives
// what went wrong in words, or stays empty (a cancelled run is no problem).
QString runNettop(const QString& program, const QStringList& arguments, int timeoutMs,
                  const std::atomic<bool>* cancel = nullptr, QString* problem = nullptr);
