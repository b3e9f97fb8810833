#include "ByteCounts.h"
#include "DayKey.h"
#include "TrafficTypes.h"

#include <QLocale>
#include <gtest/gtest.h>

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(ByteCounts, SumsAndGrowthHoldAtTheEndsInsteadOfWrapping) {
    const struct {
        ByteCounts a, b, sum, growth; // growth: a since b
    } cases[] = {
        {{5, 7}, {2, 3}, {7, 10}, {3, 4}},
        {{kMax, 1}, {1, kMax}, {kMax, kMax}, {kMax - 1, 0}},
        {{0, 0}, {4, 0}, {4, 0}, {0, 0}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a + c.b, c.sum);
        EXPECT_EQ(growthSince(c.a, c.b), c.growth);
    }
    EXPECT_EQ((ByteCounts{kMax, 2}.total()), kMax);
    DailyTraffic day{{1, 1}, {{"a", {kMax, 0}}}};
    day += DailyTraffic{{2, kMax}, {{"a", {1, 1}}, {"b", {3, 0}}}};
    EXPECT_EQ(day, (DailyTraffic{{3, kMax}, {{"a", {kMax, 1}}, {"b", {3, 0}}}}));
    // Largest total first, ties (saturated ones too) by name.
    std::vector<QString> names;
    for (const AppEntry& e : appsByTotal({{"d", {5, 0}},
                                          {"c", {0, 5}},
                                          {"e", {9, 0}},
                                          {"z", {}},
                                          {"y", {kMax, 1}},
                                          {"x", {kMax / 2 + 1, kMax / 2 + 1}}}))
        names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<QString>{"x", "y", "e", "c", "d", "z"}));
}

TEST(DayKey, StrictAsciiKeysAndCalendarRanges) {
    // Keys are written in ASCII digits whatever the locale.
    QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt));
    EXPECT_EQ(DayKey::format(QDate(987, 6, 5)), "0987-06-05");
    EXPECT_EQ(DayKey::month(QDate(2024, 2, 29)), "2024-02");
    QLocale::setDefault(QLocale::c());
    EXPECT_EQ(DayKey::parse(u"2024-02-29"), QDate(2024, 2, 29));
    for (const char* bad : {"2023-02-29", "2024-2-29", "+024-02-29", "2024-02-29 ", "2024/02/29"})
        EXPECT_FALSE(DayKey::parse(QString::fromLatin1(bad)).isValid()) << bad;
    EXPECT_EQ(DayKey::label("2024-03-05"), "3/5");
    EXPECT_EQ(DayKey::label("2024-03"), "2024-03");

    const QDate today(2025, 1, 2);
    EXPECT_EQ(DayKey::lastDays(QDate(2024, 3, 1), 3),
              (QStringList{"2024-02-28", "2024-02-29", "2024-03-01"}));
    EXPECT_EQ(DayKey::lastDays(today, 3), (QStringList{"2024-12-31", "2025-01-01", "2025-01-02"}));
    EXPECT_EQ(DayKey::lastMonths(today, 3), (QStringList{"2024-11", "2024-12", "2025-01"}));
    const struct {
        const char* key;
        QDate first, last;
    } spans[] = {
        {"2024-12", {2024, 12, 1}, {2024, 12, 31}},
        {"2025-01", {2025, 1, 1}, today}, // the current month ends today
        {"2025-01-01", {2025, 1, 1}, {2025, 1, 1}},
        {"2025-13", {}, {}},
        {"today", {}, {}},
    };
    for (const auto& s : spans) {
        const DaySpan span = DayKey::span(QString::fromLatin1(s.key), today);
        EXPECT_TRUE(span.first == s.first && span.last == s.last) << s.key;
    }
}

} // namespace
