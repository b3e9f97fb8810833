#include "RecorderTestSupport.h"
#include "TrafficStore.h"

#include <QLocale>
#include <ctime>
#include <gtest/gtest.h>

namespace {

QDateTime local(int y, int m, int d, int h, int min) {
    return QDateTime(QDate(y, m, d), QTime(h, min));
}

} // namespace

TEST(DayKeys, LocalCalendarDaysInAsciiAcrossYearsLeapDaysAndDaylightSaving) {
    // POSIX rules need no zone database; the clocks go forward on 2026-03-29 (a 23-hour day)
    // and back on 2026-10-25 (25 hours), where 24-hour steps would skip or repeat a day.
    const QByteArray zone = qgetenv("TZ");
    qputenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    ::tzset();
    // Keys are written in ASCII digits whatever the locale.
    QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt));
    EXPECT_EQ(TrafficRecorder::dateString(QDateTime(QDate(2024, 12, 31), QTime(23, 30), Qt::UTC)),
              "2025-01-01");
    const struct {
        QDateTime now;
        int count;
        QStringList days;
    } cases[] = {
        {local(2024, 3, 1, 0, 0), 3, {"2024-02-28", "2024-02-29", "2024-03-01"}},
        {local(2025, 1, 2, 23, 59), 3, {"2024-12-31", "2025-01-01", "2025-01-02"}},
        {local(2026, 3, 30, 0, 30), 3, {"2026-03-28", "2026-03-29", "2026-03-30"}},
        {local(2026, 10, 25, 23, 30), 3, {"2026-10-23", "2026-10-24", "2026-10-25"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(trafficRecentDays(c.now, c.count), c.days) << c.now.toString().toStdString();
    QLocale::setDefault(QLocale::c());
    zone.isNull() ? qunsetenv("TZ") : qputenv("TZ", zone);
    ::tzset();
}

TEST(DayQueries, SortedApps) {
    TempStore store;
    store.write(R"({
      "ties": {"apps": {"d": {"in": 5}, "c": {"out": 5}, "b": {"in": 1, "out": 4},
               "a": {"in": 2}, "e": {"in": 9}, "idle": {}}},
      "huge": {"apps": {"x": {"in": 9223372036854775807, "out": 9223372036854775807},
                        "y": {"in": 9223372036854775807, "out": 9223372036854775807},
                        "z": {"in": 1}}}
    })");
    auto recorder = store.open();

    const auto names = [&](const QString& day) {
        QStringList out;
        for (const AppEntry& e : recorder->sortedApps(day))
            out << e.name;
        return out;
    };
    // Largest first; equal sums keep the day's own order (by name).
    EXPECT_EQ(names("ties"), (QStringList{"e", "b", "c", "d", "a", "idle"}));
    EXPECT_EQ(names("huge"), (QStringList{"x", "y", "z"}));
}
