#include "RecorderTestSupport.h"
#include "TrafficStore.h"

#include <QLocale>
#include <ctime>
#include <gtest/gtest.h>

namespace {

// Switches the process's zone for one test; POSIX rules need no zone database.
class ZoneGuard {
public:
    explicit ZoneGuard(const char* zone)
        : old_(qgetenv("TZ")), had_(qEnvironmentVariableIsSet("TZ")) {
        qputenv("TZ", zone);
        ::tzset();
    }
    ~ZoneGuard() {
        if (had_)
            qputenv("TZ", old_);
        else
            qunsetenv("TZ");
        ::tzset();
    }

private:
    QByteArray old_;
    bool had_;
};

QDateTime local(int y, int m, int d, int h, int min) {
    return QDateTime(QDate(y, m, d), QTime(h, min));
}

} // namespace

TEST(DayKeys, AsciiDigitsWhateverTheLocale) {
    QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt));
    EXPECT_EQ(TrafficRecorder::dateString(local(2024, 12, 5, 10, 0)), "2024-12-05");
    EXPECT_EQ(TrafficRecorder::displayDate("2024-12-05"), "12/5");
    EXPECT_EQ(TrafficRecorder::displayDate("2024-01-31"), "1/31");
    QLocale::setDefault(QLocale::c());
    EXPECT_EQ(TrafficRecorder::todayString(), trafficDayKey(QDate::currentDate()));
}

TEST(DayKeys, DateStringUsesTheLocalCalendarDay) {
    ZoneGuard zone("JST-9");
    const QDateTime utcEvening(QDate(2024, 12, 31), QTime(20, 0), Qt::UTC);
    EXPECT_EQ(TrafficRecorder::dateString(utcEvening), "2025-01-01");
}

TEST(DayKeys, DisplayDateLeavesAnythingElseUnchanged) {
    for (const QString& text :
         {QString(), QString("2024-12-5"), QString("2024-13-01"), QString("2023-02-29"),
          QString("hello"), QString(" 2024-12-05"), QString("2024-12-05 "), QString("2024/12/05"),
          QString::fromUtf8("٢٠٢٤-١٢-٠٥"), QString("+024-12-05"), QString("2024-12-05x")})
        EXPECT_EQ(TrafficRecorder::displayDate(text), text) << text.toStdString();
    EXPECT_EQ(TrafficRecorder::displayDate("2024-02-29"), "2/29");
}

TEST(DayKeys, RecentDaysIsCalendarArithmetic) {
    EXPECT_TRUE(trafficRecentDays(local(2024, 3, 3, 12, 0), 0).isEmpty());
    EXPECT_TRUE(trafficRecentDays(local(2024, 3, 3, 12, 0), -4).isEmpty());
    EXPECT_EQ(trafficRecentDays(local(2024, 3, 3, 12, 0), 1), QStringList{"2024-03-03"});
    // Across a leap-year month end.
    EXPECT_EQ(trafficRecentDays(local(2024, 3, 3, 0, 0), 7),
              (QStringList{"2024-02-26", "2024-02-27", "2024-02-28", "2024-02-29", "2024-03-01",
                           "2024-03-02", "2024-03-03"}));
    // Across a year end.
    EXPECT_EQ(trafficRecentDays(local(2025, 1, 2, 23, 59), 4),
              (QStringList{"2024-12-30", "2024-12-31", "2025-01-01", "2025-01-02"}));

    TempStore store;
    auto recorder = store.open();
    const QStringList week = recorder->recentDays(7);
    ASSERT_EQ(week.size(), 7);
    EXPECT_EQ(week.last(), TrafficRecorder::todayString());
    EXPECT_EQ(week.first(), trafficDayKey(QDate::currentDate().addDays(-6)));
}

TEST(DayKeys, RecentDaysAcrossDaylightSavingChanges) {
    ZoneGuard zone("CET-1CEST,M3.5.0,M10.5.0/3");
    // The day the clocks go forward has 23 hours: 24-hour steps back from just after midnight
    // would skip it.
    EXPECT_EQ(trafficRecentDays(local(2026, 3, 30, 0, 30), 3),
              (QStringList{"2026-03-28", "2026-03-29", "2026-03-30"}));
    // The day they go back has 25 hours: 24-hour steps from late evening would repeat it.
    EXPECT_EQ(trafficRecentDays(local(2026, 10, 25, 23, 30), 3),
              (QStringList{"2026-10-23", "2026-10-24", "2026-10-25"}));
    EXPECT_EQ(trafficRecentDays(local(2026, 10, 26, 0, 30), 2),
              (QStringList{"2026-10-25", "2026-10-26"}));
}

TEST(DayQueries, RecordTotalAndGetToday) {
    TempStore store;
    auto recorder = store.open();
    EXPECT_FALSE(recorder->getToday());
    EXPECT_TRUE(recorder->recentDays(3).size() == 3);
    EXPECT_FALSE(recorder->getToday()); // queries create nothing
    recorder->recordTotal(0, 0);
    EXPECT_EQ(recorder->getToday(), DailyTraffic());
    recorder->recordTotal(100, 250);
    EXPECT_EQ(recorder->getToday(), DailyTraffic(250, 100));
    EXPECT_EQ(recorder->getDay(TrafficRecorder::todayString()), DailyTraffic(250, 100));
    recorder->recordTotal(UINT64_MAX, 1);
    EXPECT_EQ(recorder->getToday(), DailyTraffic(251, UINT64_MAX));
    EXPECT_FALSE(recorder->getDay("1999-01-01"));
}

TEST(DayQueries, SortedAppsIsStableDescending) {
    TempStore store;
    store.write(R"({
      "empty": {"totalIn": 9, "totalOut": 9},
      "zeros": {"apps": {"a": {"in": 0, "out": 0}, "b": {}}},
      "two": {"apps": {"idle": {"in": 0, "out": 0}, "busy": {"in": 4, "out": 6}}},
      "ties": {"totalIn": 0, "apps": {"d": {"in": 5}, "c": {"out": 5}, "b": {"in": 1, "out": 4},
               "a": {"in": 2}, "e": {"in": 9}}},
      "huge": {"apps": {"x": {"in": 9223372036854775807, "out": 9223372036854775807},
                        "y": {"in": 9223372036854775807, "out": 9223372036854775807},
                        "z": {"in": 1}}}
    })");
    auto recorder = store.open();
    EXPECT_TRUE(recorder->sortedApps("missing").empty());
    EXPECT_TRUE(recorder->sortedApps("empty").empty());
    EXPECT_TRUE(recorder->sortedApps("zeros").empty());

    auto names = [&](const QString& day) {
        QStringList out;
        for (const AppEntry& e : recorder->sortedApps(day))
            out << e.name;
        return out;
    };
    EXPECT_EQ(names("two"), (QStringList{"busy", "idle"}));
    EXPECT_EQ(recorder->sortedApps("two").front().traffic, AppTraffic(4, 6));
    // Equal sums keep the day's own order (the map's, by name).
    EXPECT_EQ(names("ties"), (QStringList{"e", "b", "c", "d", "a"}));
    EXPECT_EQ(names("huge"), (QStringList{"x", "y", "z"}));
}
