#pragma once

#include "HistorySource.h"

#include <QString>
#include <vector>

// The terminal report: today, then each day (or month) of a range with its totals, and
// optionally the applications that moved the most over the range.
struct ReportRow {
    QString key; // "yyyy-MM-dd" or "yyyy-MM"
    ByteCounts totals;
};

struct ReportData {
    QString today;
    ByteCounts todayTotals;
    bool months = false;
    std::vector<ReportRow> rows; // oldest first
    ByteCounts rangeTotals;
    bool withApps = false;
    std::vector<AppEntry> apps; // largest first, at most reportMaxApps
};

inline constexpr int reportMaxApps = 10;

ReportData reportBuild(const HistorySource& source, int count, bool months, bool withApps);

// Columns aligned by their width on a terminal (CJK characters take two cells).
QString reportText(const ReportData& data);
// Exact counts: numbers are written as integers, never rounded through a double.
QString reportJson(const ReportData& data);

// Terminal cells a text takes.
int reportCells(const QString& text);
