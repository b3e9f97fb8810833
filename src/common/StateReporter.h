#pragma once

#include "StateLatch.h"

#include <QLoggingCategory>
#include <QString>

// Says a concern's failures through its logging category: each problem once as a warning,
// again only when it changes, and the return to good once as information. Single-threaded:
// report from one thread (the main one).
class StateReporter {
public:
    // `recovered` is what is said when a problem ends, e.g. "saving works again".
    StateReporter(const QLoggingCategory& category, QString recovered)
        : m_category(category), m_recovered(std::move(recovered)) {}

    // `problem` empty: all is well.
    void report(const QString& problem);
    void clear() { report({}); }
    bool failing() const { return m_latch.failing(); }

private:
    const QLoggingCategory& m_category;
    QString m_recovered;
    StateLatch m_latch;
};
