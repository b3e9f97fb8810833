#include "AllowanceWatcher.h"

#include "AllowanceText.h"
#include "AppSettings.h"

#include <algorithm>

AllowanceStatus allowanceCurrent(const HistorySource& source, const AllowanceSettings& a,
                                 QDate today, double dayFraction) {
    const BillingCycle cycle = allowanceCycle(today, a.cycleStartDay);
    const ByteCounts t = source.totals(cycle.first, today);
    const std::uint64_t used = a.downloadOnly ? t.in : t.total();
    const double elapsed = static_cast<double>(cycle.first.daysTo(today)) + dayFraction;
    return allowanceStatus(cycle, elapsed, used, a.limitBytes());
}

AllowanceWatcher::AllowanceWatcher(const HistorySource& source, Notify notify, QObject* parent)
    : QObject(parent), m_source(source), m_notify(std::move(notify)) {
    connect(&m_timer, &QTimer::timeout, this, &AllowanceWatcher::checkNow);
}

void AllowanceWatcher::checkNow() {
    AppSettings settings;
    const QDateTime now = QDateTime::currentDateTime();
    check(settings, now.date(), allowanceDayFraction(now));
}

std::optional<int> AllowanceWatcher::check(QSettings& settings, QDate today, double dayFraction) {
    const AllowanceSettings a = allowanceLoad(settings);
    if (!a.enabled) {
        return std::nullopt;
    }
    const AllowanceStatus st = allowanceCurrent(m_source, a, today, dayFraction);
    const AllowanceMemory stored = allowanceLoadMemory(settings);
    AllowanceMemory memory = allowanceMemoryFor(stored, st.cycle);
    const std::optional<int> level = allowanceLevelToAnnounce(st.fraction, memory.announcedLevel);
    if (level) {
        // Without a notification service nothing is shown, and it is not tried again.
        m_notify(allowanceNoticeTitle(*level), allowanceNoticeBody(st));
        memory.announcedLevel = *level;
    }
    if (!(memory == stored)) {
        allowanceSaveMemory(settings, memory);
    }
    return level;
}

void AllowanceWatcher::start(int intervalMs) {
    m_timer.start(intervalMs);
    QTimer::singleShot(0, this, &AllowanceWatcher::checkNow);
}
