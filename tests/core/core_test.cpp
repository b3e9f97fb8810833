#include "ByteCounts.h"
#include "DayKey.h"
#include "Formatters.h"
#include "LinkCounter.h"
#include "TrafficTypes.h"

#include <QLocale>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <gtest/gtest.h>
#include <limits>

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

    const QDate today(2025, 1, 2);
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

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Formatters, RowsBoundsAndRounding) {
    const std::pair<double, const char*> speeds[] = {
        {-kInf, "0 B/s"},      {1023.5, "1024 B/s"}, // rounds up but stays in the bytes row
        {1024, "1.0 KB/s"},    {1048575, "1024.0 KB/s"},
        {1048576, "1.0 MB/s"}, {1073741824, "1.00 GB/s"},
        {kInf, "inf GB/s"},    {std::numeric_limits<double>::quiet_NaN(), "nan GB/s"},
    };
    for (const auto& [value, text] : speeds) {
        EXPECT_EQ(fmtSpeed(value), text) << value;
    }

    // The menu has no terabyte row; the history window does.
    const std::tuple<std::uint64_t, const char*, const char*> counts[] = {
        {1023, "1023 B", "1023 B"},
        {1024, "1.0 KB", "1.0 KB"},
        {(1ULL << 30) - 1, "1024.0 MB", "1024.0 MB"},
        {1ULL << 40, "1024.00 GB", "1.00 TB"},
        {kMax, "17179869184.00 GB", "16777216.00 TB"},
    };
    for (const auto& [value, menu, history] : counts) {
        EXPECT_EQ(fmtBytes(value), menu) << value;
        EXPECT_EQ(fmtBytesTraffic(value), history) << value;
    }
}

TEST(Formatters, IgnoreTheNumericLocale) {
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = old ? old : "C";
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "de_DE.utf8")) {
        GTEST_SKIP() << "no de_DE.UTF-8 locale installed (scripts/test generates it)";
    }
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    ASSERT_STREQ(probe, "1,5") << "the locale should use a decimal comma";
    // Every row goes through one number formatter.
    EXPECT_EQ(fmtSpeed(1536), "1.5 KB/s");
    std::setlocale(LC_NUMERIC, saved.c_str());
}

LinkReading reading(int index, const char* name, std::uint64_t in, std::uint64_t out,
                    bool physical = true) {
    return {.index = index,
            .name = name,
            .attributes = {LinkMedium::Ethernet, false, physical ? "" : "veth", {}},
            .bytes = {in, out}};
}

TEST(LinkCounter, GrowsOnlyByWhatCountedLinksMovedBetweenReadings) {
    std::optional<LinkTable> next;
    LinkCounter counter([&next] { return next; });
    LinkReading lo = reading(1, "lo", 900, 900);
    lo.attributes.medium = LinkMedium::Loopback;

    next = LinkTable{{lo, reading(2, "eth0", 1000, 200), reading(3, "veth0", 50, 50, false)}, true};
    EXPECT_EQ(counter.read(), (NetTotals{1000, 200})) << "starts at the counted links' sum";
    next.reset();
    EXPECT_EQ(counter.read(), std::nullopt);

    // A modem plugged in with large counters of its own joins without a jump; the veth's
    // growth is not counted; eth0's is.
    next = LinkTable{{lo, reading(2, "eth0", 1500, 300), reading(3, "veth0", 9050, 9050, false),
                      reading(4, "wwan0", 70000, 80000)},
                     true};
    EXPECT_EQ(counter.read(), (NetTotals{1500, 300}));

    // The user counts every link: from now on the veth's growth counts, its past does not.
    counter.setChoice({InterfaceChoice::Mode::All, {}});
    next->links[2].bytes.out += 7;
    EXPECT_EQ(counter.read(), (NetTotals{1500, 307}));

    // eth0 goes, wwan0 restarts its counters, and a new link reuses index 2 under another
    // name: nothing drops, nothing jumps; only what moved since counts.
    next = LinkTable{{lo, reading(2, "usb0", 5000, 5000), reading(3, "veth0", 9050, 9057, false),
                      reading(4, "wwan0", 3, 4)},
                     true};
    EXPECT_EQ(counter.read(), (NetTotals{1500, 307}));
    next->links[1].bytes.in += 1;
    next->links[3].bytes.out += 2;
    EXPECT_EQ(counter.read(), (NetTotals{1501, 309}));

    const auto shown = counter.lastLinks(); // the menu's ticks
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_TRUE(!shown[0].counted && shown[2].counted);
}

} // namespace
