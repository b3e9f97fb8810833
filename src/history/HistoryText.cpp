#include "HistoryText.h"

#include "Formatters.h"
#include "Saturating.h"

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

QString historySummaryText(const QString& key, std::uint64_t in, std::uint64_t out) {
    return QCoreApplication::translate("TrafficHistoryWindow",
                                       "应用流量明细 · %1    下载 %2 · 上传 %3 · 合计 %4")
        .arg(key, fmtBytesTraffic(in), fmtBytesTraffic(out),
             fmtBytesTraffic(saturatingAdd(in, out)));
}

std::vector<AppRowRecord> historyAppRows(const std::vector<AppEntry>& apps, std::uint64_t total) {
    std::vector<AppRowRecord> rows;
    rows.reserve(apps.size());
    for (const auto& app : apps) {
        const std::uint64_t sum = saturatingAdd(app.traffic.bytesIn, app.traffic.bytesOut);
        const double pct = total > 0 ? static_cast<double>(sum) / static_cast<double>(total) : 0.0;
        rows.push_back({app.name, app.traffic.bytesIn, app.traffic.bytesOut, sum, pct});
    }
    return rows;
}

QString historyUnattributedText(std::uint64_t in, std::uint64_t out,
                                const std::vector<AppRowRecord>& rows) {
    if (rows.empty()) {
        return {};
    }
    std::uint64_t appsIn = 0, appsOut = 0;
    for (const AppRowRecord& r : rows) {
        appsIn = saturatingAdd(appsIn, r.inBytes);
        appsOut = saturatingAdd(appsOut, r.outBytes);
    }
    // Per direction: applications that moved more than the span in one direction say
    // nothing about the other.
    const std::uint64_t restIn = in > appsIn ? in - appsIn : 0;
    const std::uint64_t restOut = out > appsOut ? out - appsOut : 0;
    const std::uint64_t rest = saturatingAdd(restIn, restOut);
    const std::uint64_t total = saturatingAdd(in, out);
    if (rest == 0 || total == 0) {
        return {};
    }
    const double pct = static_cast<double>(rest) / static_cast<double>(total) * 100;
    return QCoreApplication::translate("TrafficHistoryWindow",
                                       "未归属到应用：下载 %1 · 上传 %2 · 占比 %3%")
        .arg(fmtBytesTraffic(restIn), fmtBytesTraffic(restOut), fmtFixed(pct, 1));
}
