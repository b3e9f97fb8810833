#include "HistoryText.h"

#include "Formatters.h"

#include <QCoreApplication>
#include <QWidget>
#include <algorithm>

double historySegmentWidth(double windowWidth, int n) {
    return n <= 0 ? 0 : std::max((windowWidth - 40) / n, 60.0);
}

QSize historyTableSize(int currentWidth, int headerHeight, int rowHeight, int rows) {
    const qint64 h = qint64(headerHeight) + qint64(rowHeight) * std::max(0, rows);
    // QWidget sizes are ints and capped far below that; a huge day scrolls to its cap.
    return {currentWidth > 0 ? currentWidth : 560,
            static_cast<int>(std::min<qint64>(h, QWIDGETSIZE_MAX))};
}

QString historySummaryText(const QString& key, ByteCounts bytes) {
    return QCoreApplication::translate("TrafficHistoryWindow",
                                       "应用流量明细 · %1    下载 %2 · 上传 %3 · 合计 %4")
        .arg(key, fmtBytesTraffic(bytes.in), fmtBytesTraffic(bytes.out),
             fmtBytesTraffic(bytes.total()));
}

std::vector<AppRowRecord> historyAppRows(const std::vector<AppEntry>& apps, std::uint64_t total) {
    std::vector<AppRowRecord> rows;
    rows.reserve(apps.size());
    for (const auto& app : apps) {
        const double share = static_cast<double>(app.traffic.total()) / static_cast<double>(total);
        rows.push_back({app.name, app.traffic, total > 0 ? share : 0.0, {}, {}});
    }
    return rows;
}

QString historyUnattributedText(ByteCounts span, const std::vector<AppRowRecord>& rows) {
    if (rows.empty()) {
        return {};
    }
    ByteCounts apps;
    for (const AppRowRecord& r : rows) {
        apps += r.bytes;
    }
    // Per direction: applications that moved more than the span in one direction say
    // nothing about the other.
    const ByteCounts rest = growthSince(span, apps);
    if (rest.isZero() || span.total() == 0) {
        return {};
    }
    const double pct = static_cast<double>(rest.total()) / static_cast<double>(span.total()) * 100;
    return QCoreApplication::translate("TrafficHistoryWindow",
                                       "未归属到应用：下载 %1 · 上传 %2 · 占比 %3%")
        .arg(fmtBytesTraffic(rest.in), fmtBytesTraffic(rest.out), fmtFixed(pct, 1));
}
