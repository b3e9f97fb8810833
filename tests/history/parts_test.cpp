// The history window's parts: the chart, the day selector and the application table, and
// the values the window writes and sizes itself by.

#include "AppEntries.h"
#include "AppTableDataSource.h"
#include "HistoryText.h"
#include "TrafficChartView.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

constexpr std::uint64_t kMax = UINT64_MAX;

std::vector<ChartDayRecord> span(int n, bool months, std::uint64_t in = 1, std::uint64_t out = 1) {
    std::vector<ChartDayRecord> days;
    for (QDate d(2025, 1, 1); static_cast<int>(days.size()) < n;
         d = months ? d.addMonths(1) : d.addDays(1)) {
        days.push_back({d.toString(months ? "yyyy-MM" : "yyyy-MM-dd"), in, out});
    }
    return days;
}

TEST(ChartScale, StepsOfTheLadderThenATenthOfHeadroomAndNoWrapNearTheTop) {
    // No traffic at all takes the first step.
    for (const auto& [in, out, scale] : {std::tuple{0ULL, 0ULL, 1e6},
                                         {1000000ULL, 0ULL, 1e6},
                                         {0ULL, 1000001ULL, 5e6},
                                         {200000000000ULL, 0ULL, 2.2e11}})
        EXPECT_DOUBLE_EQ(chartScale(span(7, false, in, out)), scale) << in << " " << out;
    // Near 2^64 the top grid line is past the counter's range: it reads as the largest count.
    const double top = chartScale(span(7, false, kMax));
    EXPECT_EQ(chartGridValue(top, 0), kMax);
    EXPECT_GT(chartGridValue(top, 1), 15000000000000000000ULL);
}

TEST(ChartGeometry, LabelsOfEveryRangeNeverOverlapAndTheNewestIsLabelled) {
    // The view's own fonts: the question is whether real labels collide.
    const ChartMetrics real = TrafficChartView().metrics();
    for (const auto& [n, months] : {std::pair{7, false}, {30, false}, {12, true}}) {
        for (double width : {488.0, 568.0, 1200.0}) {
            const auto g = chartGeometry({width, 196}, span(n, months), real);
            ASSERT_EQ(g.pairs.size(), static_cast<std::size_t>(n));
            EXPECT_FALSE(g.pairs.back().dateLabel.text.isEmpty());
            EXPECT_TRUE(n != 7 || g.labelStep == 1); // a week is labelled in full
            double previousRight = -1e9;
            for (const auto& pair : g.pairs) {
                if (!pair.dateLabel.text.isEmpty()) {
                    EXPECT_GT(pair.dateLabel.topLeft.x(), previousRight) << n << " in " << width;
                    previousRight =
                        pair.dateLabel.topLeft.x() + real.dateLabelWidth(pair.dateLabel.text);
                }
            }
        }
    }
    // Too narrow or too short for bars: the frame alone, however small.
    for (QSizeF tiny : {QSizeF(20, 220), QSizeF(600, 50), QSizeF(1, 1)})
        EXPECT_TRUE(chartGeometry(tiny, span(7, false, kMax, kMax), real).pairs.empty());
}

TEST(AppTable, RowsShowTheirDesktopEntrysNameAndIconAndOthersTheRecordedName) {
    QTemporaryDir dir;
    QImage red(16, 16, QImage::Format_ARGB32);
    red.fill(Qt::red);
    QFile entry(dir.filePath("applications/org.example.Fetcher.desktop"));
    ASSERT_TRUE(QDir(dir.path()).mkpath("applications") && red.save(dir.filePath("f.png")) &&
                entry.open(QIODevice::WriteOnly));
    entry.write("[Desktop Entry]\nType=Application\nName=F\nName[zh_CN]=示例下载器\nIcon=" +
                dir.filePath("f.png").toUtf8());
    entry.close();
    AppEntries entries({dir.path()}, "zh_CN");
    AppTableDataSource model;
    model.setAppEntries(&entries);
    model.setRows(historyAppRows({{"org.example.Fetcher", {2, 0}}, {"fetcher-bin", {1, 0}}}, 3));
    EXPECT_EQ(model.index(0, AppName).data().toString(), QString::fromUtf8("示例下载器"));
    EXPECT_FALSE(model.index(0, AppName).data(Qt::DecorationRole).value<QIcon>().isNull());
    EXPECT_EQ(model.index(1, AppName).data().toString(), "fetcher-bin");
    EXPECT_FALSE(model.index(1, AppName).data(Qt::DecorationRole).isValid());
}

} // namespace
