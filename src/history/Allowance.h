#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <cstdint>
#include <optional>

class QSettings;

// The user's monthly data allowance and its billing cycle. Everything here is plain
// arithmetic on local calendar dates, so DST and clock steps only move "today".
struct AllowanceSettings {
    bool enabled = false;
    double gigabytes = 100; // in units of 1024^3 bytes, as the history window labels them
    int cycleStartDay = 1;  // 1-31; a day past a month's end means its last day
    bool downloadOnly = true;

    std::uint64_t limitBytes() const;
    friend bool operator==(const AllowanceSettings&, const AllowanceSettings&) = default;
};

// Where the settings and the notification memory live in Quillfern.conf.
AllowanceSettings allowanceLoad(QSettings& settings);
void allowanceSave(QSettings& settings, const AllowanceSettings& allowance);

// One billing cycle: first and last day, both included.
struct BillingCycle {
    QDate first;
    QDate last;
    int days() const { return static_cast<int>(first.daysTo(last)) + 1; }
    friend bool operator==(const BillingCycle&, const BillingCycle&) = default;
};

// The day a cycle starts in the given month: the start day, or the month's last day when
// the month is shorter.
QDate allowanceCycleStartIn(int year, int month, int startDay);
// The cycle that holds `day`.
BillingCycle allowanceCycle(QDate day, int startDay);

// How far into its local day `now` is, 0..1, over the day's real length (23 or 25 hours
// on the days the clocks change).
double allowanceDayFraction(const QDateTime& now);

// This cycle's use and where it is heading.
struct AllowanceStatus {
    BillingCycle cycle;
    std::uint64_t used = 0;
    std::uint64_t limit = 0;
    double fraction = 0;         // used / limit
    std::uint64_t projected = 0; // at the pace so far, by the cycle's last day
};
// `elapsedDays` is how much of the cycle has passed, today's part included (at least a
// small part of a day, so the first minutes of a cycle do not project to infinity).
AllowanceStatus allowanceStatus(const BillingCycle& cycle, double elapsedDays, std::uint64_t used,
                                std::uint64_t limit);

// Notifications: the highest level (80 or 100) that `fraction` has reached and that was not
// yet announced in this cycle. A jump past both announces only 100.
std::optional<int> allowanceLevelToAnnounce(double fraction, int announcedLevel);

// What has been announced, remembered across restarts. A cycle later than the remembered
// one starts from nothing; an earlier one (the clock was set back) keeps what was said, so
// nothing is announced twice.
struct AllowanceMemory {
    QDate cycleFirst;
    int announcedLevel = 0;
    friend bool operator==(const AllowanceMemory&, const AllowanceMemory&) = default;
};
AllowanceMemory allowanceMemoryFor(const AllowanceMemory& stored, const BillingCycle& cycle);
AllowanceMemory allowanceLoadMemory(QSettings& settings);
void allowanceSaveMemory(QSettings& settings, const AllowanceMemory& memory);
