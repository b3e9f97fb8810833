#include "Allowance.h"

#include "SettingsKeys.h"

#include <QSettings>
#include <QTimeZone>
#include <algorithm>
#include <cmath>
#include <limits>

namespace {

const QString kEnabled = QString::fromLatin1(settingsKeys::allowanceEnabled);
const QString kGigabytes = QString::fromLatin1(settingsKeys::allowanceGigabytes);
const QString kStartDay = QString::fromLatin1(settingsKeys::allowanceStartDay);
const QString kDownloadOnly = QString::fromLatin1(settingsKeys::allowanceDownloadOnly);
const QString kAnnouncedCycle = QString::fromLatin1(settingsKeys::allowanceAnnouncedCycle);
const QString kAnnouncedLevel = QString::fromLatin1(settingsKeys::allowanceAnnouncedLevel);

constexpr double kMaxCount = 18446744073709551615.0;

std::uint64_t toCount(double v) {
    if (!(v > 0)) {
        return 0;
    }
    return v >= kMaxCount ? std::numeric_limits<std::uint64_t>::max()
                          : static_cast<std::uint64_t>(v);
}

} // namespace

std::uint64_t AllowanceSettings::limitBytes() const {
    return toCount(std::round(gigabytes * 1024.0 * 1024.0 * 1024.0));
}

AllowanceSettings allowanceLoad(QSettings& s) {
    AllowanceSettings a;
    a.enabled = s.value(kEnabled, a.enabled).toBool();
    bool ok = false;
    const double gb = s.value(kGigabytes, a.gigabytes).toDouble(&ok);
    // A hand-edited value that is not a positive number leaves the allowance off.
    if (!ok || !(gb > 0) || !std::isfinite(gb)) {
        a.enabled = false;
    } else {
        a.gigabytes = gb;
    }
    a.cycleStartDay = std::clamp(s.value(kStartDay, a.cycleStartDay).toInt(), 1, 31);
    a.downloadOnly = s.value(kDownloadOnly, a.downloadOnly).toBool();
    return a;
}

void allowanceSave(QSettings& s, const AllowanceSettings& a) {
    s.setValue(kEnabled, a.enabled);
    s.setValue(kGigabytes, a.gigabytes);
    s.setValue(kStartDay, a.cycleStartDay);
    s.setValue(kDownloadOnly, a.downloadOnly);
}

QDate allowanceCycleStartIn(int year, int month, int startDay) {
    const QDate firstOfMonth(year, month, 1);
    return QDate(year, month, std::clamp(startDay, 1, firstOfMonth.daysInMonth()));
}

BillingCycle allowanceCycle(QDate day, int startDay) {
    QDate first = allowanceCycleStartIn(day.year(), day.month(), startDay);
    if (day < first) {
        const QDate prev = day.addMonths(-1);
        first = allowanceCycleStartIn(prev.year(), prev.month(), startDay);
    }
    const QDate next = QDate(first.year(), first.month(), 1).addMonths(1);
    return {first, allowanceCycleStartIn(next.year(), next.month(), startDay).addDays(-1)};
}

double allowanceDayFraction(const QDateTime& now) {
    const QDate day = now.date();
    const QDateTime start = day.startOfDay(now.timeZone());
    const QDateTime end = day.addDays(1).startOfDay(now.timeZone());
    const double length = static_cast<double>(start.secsTo(end));
    if (!(length > 0)) {
        return 0;
    }
    return std::clamp(static_cast<double>(start.secsTo(now)) / length, 0.0, 1.0);
}

AllowanceStatus allowanceStatus(const BillingCycle& cycle, double elapsedDays, std::uint64_t used,
                                std::uint64_t limit) {
    AllowanceStatus st;
    st.cycle = cycle;
    st.used = used;
    st.limit = limit;
    st.fraction = limit > 0 ? static_cast<double>(used) / static_cast<double>(limit) : 0.0;
    const double days = cycle.days();
    // An hour is the least pace we extrapolate from.
    const double elapsed = std::clamp(elapsedDays, 1.0 / 24.0, days);
    st.projected = std::max(used, toCount(static_cast<double>(used) / elapsed * days));
    return st;
}

std::optional<int> allowanceLevelToAnnounce(double fraction, int announcedLevel) {
    for (int level : {100, 80}) {
        if (fraction * 100.0 >= level) {
            return announcedLevel < level ? std::optional<int>(level) : std::nullopt;
        }
    }
    return std::nullopt;
}

AllowanceMemory allowanceMemoryFor(const AllowanceMemory& stored, const BillingCycle& cycle) {
    if (!stored.cycleFirst.isValid() || cycle.first > stored.cycleFirst) {
        return {cycle.first, 0};
    }
    return stored;
}

AllowanceMemory allowanceLoadMemory(QSettings& s) {
    return {QDate::fromString(s.value(kAnnouncedCycle).toString(), Qt::ISODate),
            s.value(kAnnouncedLevel, 0).toInt()};
}

void allowanceSaveMemory(QSettings& s, const AllowanceMemory& m) {
    s.setValue(kAnnouncedCycle, m.cycleFirst.toString(Qt::ISODate));
    s.setValue(kAnnouncedLevel, m.announcedLevel);
}
