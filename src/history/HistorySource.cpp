#include "HistorySource.h"

#include "TrafficRecorder.h"

#include <QCoreApplication>
#include <map>

using DayKey::format;

QDate RecorderHistorySource::today() const {
    return QDate::currentDate();
}

QString RecorderHistorySource::storeNote() const {
    return m_recorder.hasStore()
               ? QString()
               : QCoreApplication::translate("TrafficHistoryWindow",
                                             "没有私有的保存位置：统计只保留到退出");
}

ByteCounts RecorderHistorySource::totals(QDate first, QDate last) const {
    if (!first.isValid() || !last.isValid() || last < first) {
        return {};
    }
    // One summing query over the store, with the days still in memory on top.
    return m_recorder.sumBetween(format(first), format(last)).total;
}

std::vector<AppEntry> RecorderHistorySource::apps(QDate first, QDate last) const {
    if (first == last) {
        // One day keeps the recorder's own order exactly.
        return m_recorder.sortedApps(format(first));
    }
    std::vector<std::vector<AppEntry>> days;
    for (QDate d = first; d.isValid() && d <= last; d = d.addDays(1)) {
        days.push_back(m_recorder.sortedApps(format(d)));
    }
    return historySumApps(days);
}

std::vector<AppEntry> historySumApps(const std::vector<std::vector<AppEntry>>& days) {
    std::map<QString, AppTraffic> sums;
    for (const auto& day : days) {
        for (const auto& app : day) {
            if (!app.traffic.isZero()) {
                sums[app.name] += app.traffic;
            }
        }
    }
    return appsByTotal(sums);
}

QStringList historyRangeKeys(HistoryRange range, QDate today) {
    if (!today.isValid()) {
        return {};
    }
    if (range == HistoryRange::Year) {
        return DayKey::lastMonths(today, 12);
    }
    return DayKey::lastDays(today, range == HistoryRange::Week ? 7 : 30);
}
