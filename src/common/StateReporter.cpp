#include "StateReporter.h"

void StateReporter::report(const QString& problem) {
    switch (m_latch.update(problem.toStdString())) {
    case StateLatch::Say::Nothing:
        return;
    case StateLatch::Say::Problem:
        qCWarning(m_category).noquote() << problem;
        return;
    case StateLatch::Say::Recovered:
        qCInfo(m_category).noquote() << m_recovered;
        return;
    }
}
