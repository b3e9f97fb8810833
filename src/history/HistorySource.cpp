#include "HistorySource.h"

#include "Saturating.h"
#include "TrafficRecorder.h"

#include <QCoreApplication>
#include <QLocale>
#include <algorithm>
#include <map>

namespace {

QString dayKey(QDate d) {
    return QLocale::c().toString(d, QStringLiteral("yyyy-MM-dd"));
}

} // namespace

QDate RecorderHistorySource::today() const {
    return QDate::fromString(TrafficRecorder::todayString(), Qt::ISODate);
}

QString RecorderHistorySource::storeNote() const {
    return m_recorder.hasStore()
               ? QString()
               : QCoreApplication::translate("TrafficHistoryWindow",
                                             "没有私有的保存位置：统计只保留到退出");
}

TrafficTotals RecorderHistorySource::totals(QDate first, QDate last) const {
    if (!first.isValid() || !last.isValid() || last < first) {
        return {};
    }
    // One summing query over the store, with the days still in memory on top.
    const DailyTraffic sum = m_recorder.sumBetween(dayKey(first), dayKey(last));
    return {sum.totalIn, sum.totalOut};
}

std::vector<AppEntry> RecorderHistorySource::apps(QDate first, QDate last) const {
    if (first == last) {
        // One day keeps the recorder's own order exactly.
        return m_recorder.sortedApps(dayKey(first));
    }
    std::vector<std::vector<AppEntry>> days;
    for (QDate d = first; d.isValid() && d <= last; d = d.addDays(1)) {
        days.push_back(m_recorder.sortedApps(dayKey(d)));
    }
    return historySumApps(days);
}

std::vector<AppEntry> historySumApps(const std::vector<std::vector<AppEntry>>& days) {
    std::map<QString, AppTraffic> sums;
    for (const auto& day : days) {
        for (const auto& app : day) {
            AppTraffic& s = sums[app.name];
            s.bytesIn = saturatingAdd(s.bytesIn, app.traffic.bytesIn);
            s.bytesOut = saturatingAdd(s.bytesOut, app.traffic.bytesOut);
        }
    }
    const auto total = [](const AppTraffic& t) { return saturatingAdd(t.bytesIn, t.bytesOut); };
    std::vector<AppEntry> out;
    out.reserve(sums.size());
    for (const auto& [name, traffic] : sums) {
        if (total(traffic) > 0) {
            out.push_back({name, traffic});
        }
    }
    std::stable_sort(out.begin(), out.end(), [&](const AppEntry& a, const AppEntry& b) {
        return total(a.traffic) > total(b.traffic);
    });
    return out;
}

QStringList historyRangeKeys(HistoryRange range, QDate today) {
    QStringList keys;
    const QLocale c = QLocale::c();
    if (range == HistoryRange::Year) {
        const QDate thisMonth(today.year(), today.month(), 1);
        for (int i = 11; i >= 0; --i) {
            keys << c.toString(thisMonth.addMonths(-i), QStringLiteral("yyyy-MM"));
        }
        return keys;
    }
    const int n = range == HistoryRange::Week ? 7 : 30;
    for (int i = n - 1; i >= 0; --i) {
        keys << c.toString(today.addDays(-i), QStringLiteral("yyyy-MM-dd"));
    }
    return keys;
}

DaySpan historyKeySpan(const QString& key, QDate today) {
    if (key.size() == 10) {
        const QDate d = QDate::fromString(key, QStringLiteral("yyyy-MM-dd"));
        return {d, d};
    }
    const QDate first =
        QDate::fromString(key + QStringLiteral("-01"), QStringLiteral("yyyy-MM-dd"));
    if (key.size() != 7 || !first.isValid()) {
        return {};
    }
    const QDate end = first.addMonths(1).addDays(-1);
    return {first, std::min(end, std::max(today, first))};
}
