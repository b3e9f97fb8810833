#include "Allowance.h"
#include "AllowanceWatcher.h"
#include "FakeHistorySource.h"

#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

constexpr std::uint64_t GiB = 1024ull * 1024 * 1024;
using d = QDate;

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
    FakeHistorySource source;
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

// The ranges' spans are the window test's.
TEST(HistoryRanges, SummedAppsSaturateAndLeaveOutTheIdle) {
    const auto sum = historySumApps(
        {{{"b", {5, 0}}, {"a", {1, 1}}}, {{"a", {3, 0}}, {"z", {0, 0}}}, {{"b", {~0ull, 1}}}});
    // Largest first; b saturates, and z, which moved nothing, is left out.
    std::vector<std::pair<QString, AppTraffic>> got;
    for (const AppEntry& e : sum)
        got.emplace_back(e.name, e.traffic);
    EXPECT_EQ(got, (decltype(got){{"b", {~0ull, 1}}, {"a", {4, 1}}}));
}
