#include "Report.h"

#include "DayKey.h"
#include "Formatters.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>
#include <limits>

namespace {

bool wide(char32_t c) {
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
           (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

// Rows of cells; the first column left-aligned, the others right-aligned, two spaces apart.
QString table(const std::vector<QStringList>& rows) {
    std::vector<int> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), static_cast<std::size_t>(row.size())), 0);
        for (int i = 0; i < row.size(); ++i) {
            widths[static_cast<std::size_t>(i)] =
                std::max(widths[static_cast<std::size_t>(i)], reportCells(row[i]));
        }
    }
    QString out;
    for (const auto& row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i) {
            const QString pad(widths[static_cast<std::size_t>(i)] - reportCells(row[i]),
                              QLatin1Char(' '));
            if (i > 0) {
                line += QStringLiteral("  ");
            }
            line += i == 0 ? row[i] + pad : pad + row[i];
        }
        while (line.endsWith(QLatin1Char(' '))) {
            line.chop(1);
        }
        out += line + QLatin1Char('\n');
    }
    return out;
}

QString jsonString(const QString& s) {
    const QByteArray doc = QJsonDocument(QJsonArray{s}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(doc.mid(1, doc.size() - 2));
}

QString jsonTotals(const ByteCounts& t) {
    return QStringLiteral("\"in\": %1, \"out\": %2, \"total\": %3")
        .arg(t.in)
        .arg(t.out)
        .arg(t.total());
}

} // namespace

int reportCells(const QString& text) {
    int cells = 0;
    for (char32_t c : text.toUcs4()) {
        cells += wide(c) ? 2 : 1;
    }
    return cells;
}

ReportData reportBuild(const HistorySource& source, int count, bool months, bool withApps) {
    ReportData r;
    const QDate today = source.today();
    r.today = DayKey::format(today);
    r.todayTotals = source.totals(today, today);
    r.months = months;
    r.withApps = withApps;
    QDate first;
    for (const QString& key :
         months ? DayKey::lastMonths(today, count) : DayKey::lastDays(today, count)) {
        const DaySpan span = DayKey::span(key, today);
        if (!first.isValid()) {
            first = span.first;
        }
        r.rows.push_back({key, source.totals(span.first, span.last)});
        r.rangeTotals += r.rows.back().totals;
    }
    if (withApps && first.isValid()) {
        r.apps = source.apps(first, today);
        if (r.apps.size() > static_cast<std::size_t>(reportMaxApps)) {
            r.apps.resize(static_cast<std::size_t>(reportMaxApps));
        }
    }
    return r;
}

QString reportText(const ReportData& r) {
    const auto cells = [](const QString& first, const ByteCounts& t) {
        return QStringList{first, fmtBytesTraffic(t.in), fmtBytesTraffic(t.out),
                           fmtBytesTraffic(t.total())};
    };
    std::vector<QStringList> rows;
    rows.push_back({r.months ? QCoreApplication::translate("Report", "月份")
                             : QCoreApplication::translate("Report", "日期"),
                    QCoreApplication::translate("Report", "下载"),
                    QCoreApplication::translate("Report", "上传"),
                    QCoreApplication::translate("Report", "合计")});
    rows.push_back(cells(QCoreApplication::translate("Report", "今日") + QLatin1Char(' ') + r.today,
                         r.todayTotals));
    rows.push_back({});
    for (const auto& row : r.rows) {
        rows.push_back(cells(row.key, row.totals));
    }
    const auto n = static_cast<int>(r.rows.size());
    rows.push_back(cells(r.months ? QCoreApplication::translate("Report", "%n 个月合计", nullptr, n)
                                  : QCoreApplication::translate("Report", "%n 天合计", nullptr, n),
                         r.rangeTotals));
    QString out = table(rows);
    if (r.withApps) {
        std::vector<QStringList> apps;
        apps.push_back({QCoreApplication::translate("Report", "应用"),
                        QCoreApplication::translate("Report", "下载"),
                        QCoreApplication::translate("Report", "上传"),
                        QCoreApplication::translate("Report", "合计")});
        for (const auto& a : r.apps) {
            apps.push_back(cells(a.name, a.traffic));
        }
        out += QLatin1Char('\n') + table(apps);
    }
    return out;
}

QString reportJson(const ReportData& r) {
    QString out = QStringLiteral("{\n  \"today\": {\"date\": %1, %2},\n")
                      .arg(jsonString(r.today), jsonTotals(r.todayTotals));
    out += QStringLiteral("  \"unit\": %1,\n  \"rows\": [")
               .arg(jsonString(r.months ? QStringLiteral("month") : QStringLiteral("day")));
    for (std::size_t i = 0; i < r.rows.size(); ++i) {
        out += (i ? QStringLiteral(",\n    ") : QStringLiteral("\n    ")) +
               QStringLiteral("{\"key\": %1, %2}")
                   .arg(jsonString(r.rows[i].key), jsonTotals(r.rows[i].totals));
    }
    out += QStringLiteral("\n  ],\n  \"range\": {%1}").arg(jsonTotals(r.rangeTotals));
    if (r.withApps) {
        out += QStringLiteral(",\n  \"apps\": [");
        for (std::size_t i = 0; i < r.apps.size(); ++i) {
            const auto& a = r.apps[i];
            out +=
                (i ? QStringLiteral(",\n    ") : QStringLiteral("\n    ")) +
                QStringLiteral("{\"name\": %1, %2}").arg(jsonString(a.name), jsonTotals(a.traffic));
        }
        out += QStringLiteral("\n  ]");
    }
    return out + QStringLiteral("\n}\n");
}
