#include "Allowance.h"
#include "AllowanceWatcher.h"
#include "HistorySource.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTimeZone>
#include <gtest/gtest.h>
#include <map>

namespace {

constexpr std::uint64_t GiB = 1024ull * 1024 * 1024;

QDate d(int y, int m, int day) {
    return QDate(y, m, day);
}

// Figures by day, as the recorder would answer them.
class FakeSource : public HistorySource {
public:
    std::map<QDate, ByteCounts> days;
    QDate today() const override { return days.empty() ? QDate() : days.rbegin()->first; }
    ByteCounts totals(QDate first, QDate last) const override {
        ByteCounts t;
        for (const auto& [day, v] : days) {
            if (day >= first && day <= last) {
                t.in += v.in;
                t.out += v.out;
            }
        }
        return t;
    }
    std::vector<AppEntry> apps(QDate, QDate) const override { return {}; }
};

} // namespace

TEST(Allowance, CyclesCoverEveryDayOnceWhateverTheStartDay) {
    // A start day past a month's end falls on its last day.
    EXPECT_EQ(allowanceCycle(d(2026, 2, 10), 31), (BillingCycle{d(2026, 1, 31), d(2026, 2, 27)}));
    EXPECT_EQ(allowanceCycle(d(2026, 2, 28), 31), (BillingCycle{d(2026, 2, 28), d(2026, 3, 30)}));

    // Each day of three years (a leap year, year ends) lies in its cycle, and each cycle
    // starts the day after the last.
    for (int start = 1; start <= 31; ++start) {
        for (QDate day = d(2026, 1, 1); day <= d(2028, 12, 31); day = day.addDays(1)) {
            const BillingCycle c = allowanceCycle(day, start);
            ASSERT_TRUE(c.first <= day && day <= c.last)
                << start << " " << day.toString().toStdString();
            ASSERT_EQ(allowanceCycle(c.last.addDays(1), start).first, c.last.addDays(1));
            ASSERT_TRUE(c.days() >= 28 && c.days() <= 31);
        }
    }
}

TEST(Allowance, DayFractionCountsRealHoursOnClockChangeDays) {
    const QTimeZone berlin("Europe/Berlin");
    if (!berlin.isValid()) {
        GTEST_SKIP() << "no time zone data for Europe/Berlin";
    }
    // 23 hours in the spring, 25 in the autumn: noon is 11 and 13 hours in.
    EXPECT_DOUBLE_EQ(allowanceDayFraction(QDateTime(d(2026, 3, 29), QTime(12, 0), berlin)),
                     11.0 / 23.0);
    EXPECT_DOUBLE_EQ(allowanceDayFraction(QDateTime(d(2026, 10, 25), QTime(12, 0), berlin)),
                     13.0 / 25.0);
}

TEST(Allowance, StatusProjectsThePaceAndLevelsAreSaidOnce) {
    const BillingCycle june{d(2026, 6, 1), d(2026, 6, 30)};
    EXPECT_EQ(allowanceStatus(june, 10, 10 * GiB, 40 * GiB).projected, 30 * GiB);
    // The first minutes of a cycle do not project to infinity; use never projects lower.
    EXPECT_EQ(allowanceStatus(june, 0, GiB, 40 * GiB).projected, 24 * 30 * GiB);
    EXPECT_EQ(allowanceStatus(june, 40, 5 * GiB, 0).projected, 5 * GiB);

    // At the edges; saying each level once is the watcher's test below.
    EXPECT_EQ(allowanceLevelToAnnounce(0.79, 0), std::nullopt);
    EXPECT_EQ(allowanceLevelToAnnounce(0.8, 0), 80);
    EXPECT_EQ(allowanceLevelToAnnounce(3.0, 0), 100); // a jump past both says 100 only

    // A clock set back into an earlier cycle repeats nothing.
    const AllowanceMemory said{d(2026, 6, 1), 100};
    EXPECT_EQ(allowanceMemoryFor(said, {d(2026, 5, 1), d(2026, 5, 31)}), said);
}

TEST(Allowance, WatcherAnnouncesEachLevelOncePerCycleAcrossRestarts) {
    QTemporaryDir dir;
    const QString conf = dir.filePath("Quillfern.conf");
    FakeSource source;
    std::vector<QString> said;
    const auto notify = [&](const QString& title, const QString&) {
        said.push_back(title);
        return false; // no notification service: nothing else may change
    };
    const auto look = [&](QDate today) {
        QSettings settings(conf, QSettings::IniFormat);
        return AllowanceWatcher(source, notify).check(settings, today, 0.5);
    };

    // Off by default: nothing is looked at or said.
    source.days[d(2026, 6, 3)] = {9 * GiB, 9 * GiB};
    EXPECT_EQ(look(d(2026, 6, 3)), std::nullopt);
    {
        QSettings settings(conf, QSettings::IniFormat);
        allowanceSave(settings, {true, 10, 2, true});
    }
    // Download only: 9 of 10 GB, then the same again after a restart (a new watcher).
    EXPECT_EQ(look(d(2026, 6, 3)), 80);
    EXPECT_EQ(look(d(2026, 6, 3)), std::nullopt);
    source.days[d(2026, 6, 4)] = {2 * GiB, 0};
    EXPECT_EQ(look(d(2026, 6, 4)), 100);
    // The day before the cycle started is not counted; the next cycle is new.
    source.days[d(2026, 7, 1)] = {GiB, 0};
    source.days[d(2026, 7, 2)] = {9 * GiB, 0};
    EXPECT_EQ(look(d(2026, 7, 2)), 80);
    ASSERT_EQ(said.size(), 3u);

    // A hand-edited size that is no number turns it off.
    QSettings settings(conf, QSettings::IniFormat);
    settings.setValue("allowance/gigabytes", "lots");
    EXPECT_FALSE(allowanceLoad(settings).enabled);
}

TEST(HistoryRanges, KeysSpansAndSummedApps) {
    const QDate today = d(2026, 3, 2);
    for (const auto& [range, n, first, last] :
         {std::tuple{HistoryRange::Week, 7, "2026-02-24", "2026-03-02"},
          {HistoryRange::Month, 30, "2026-02-01", "2026-03-02"},
          {HistoryRange::Year, 12, "2025-04", "2026-03"}}) {
        const QStringList keys = historyRangeKeys(range, today);
        ASSERT_EQ(keys.size(), n);
        EXPECT_EQ(keys.first(), first);
        EXPECT_EQ(keys.last(), last);
    }

    const auto sum = historySumApps(
        {{{"b", {5, 0}}, {"a", {1, 1}}}, {{"a", {3, 0}}, {"z", {0, 0}}}, {{"b", {~0ull, 1}}}});
    ASSERT_EQ(sum.size(), 2u); // an application that moved nothing is left out
    EXPECT_EQ(sum[0].name, "b");
    EXPECT_EQ(sum[0].traffic.in, ~0ull); // saturates
    EXPECT_EQ(sum[1].name, "a");
    EXPECT_EQ(sum[1].traffic, (AppTraffic{4, 1}));
}
