#pragma once

#include "DayKey.h"
#include "TrafficTypes.h"

#include <QDate>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

class TrafficRecorder;

// What the history views and the report read: totals and applications over a span of
// local days. Kept this small so the recorder's storage can answer it in one query.
class HistorySource {
public:
    virtual ~HistorySource() = default;
    // The local calendar day the figures end with.
    virtual QDate today() const = 0;
    // Sum over the days first..last, both included; days without a record count zero.
    virtual ByteCounts totals(QDate first, QDate last) const = 0;
    // Each application's bytes summed over the days, largest total first (ties by name);
    // nothing when the applications moved nothing at all.
    virtual std::vector<AppEntry> apps(QDate first, QDate last) const = 0;
    // A line for the window when nothing outlives the program (there is no store), else empty.
    virtual QString storeNote() const { return {}; }
};

// Answers through the recorder: totals by its range sum, applications day by day.
class RecorderHistorySource final : public HistorySource {
public:
    explicit RecorderHistorySource(const TrafficRecorder& recorder) : m_recorder(recorder) {}
    QDate today() const override;
    ByteCounts totals(QDate first, QDate last) const override;
    std::vector<AppEntry> apps(QDate first, QDate last) const override;
    QString storeNote() const override;

private:
    const TrafficRecorder& m_recorder;
};

// The spans the history offers: the last n days, or the last n calendar months.
enum class HistoryRange { Week, Month, Year };

// Keys of one range ending with `today`, oldest first: day keys "yyyy-MM-dd" for the last
// 7 or 30 days, month keys "yyyy-MM" for the last 12 months.
QStringList historyRangeKeys(HistoryRange range, QDate today);

// Sums per-day application lists into one, ordered as the day lists are.
std::vector<AppEntry> historySumApps(const std::vector<std::vector<AppEntry>>& days);
