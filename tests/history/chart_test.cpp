#include "TrafficChartView.h"
#include "TrafficTheme.h"

#include <QDate>
#include <QImage>
#include <QPainter>
#include <gtest/gtest.h>
#include <limits>

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// Fixed measurements, so positions do not depend on the installed fonts.
ChartMetrics fixedMetrics() {
    ChartMetrics m;
    m.dateLabelWidth = [](const QString& s) { return 5.0 * static_cast<double>(s.size()); };
    m.legendDownWidth = 20;
    m.emptyTextSize = QSizeF(52, 18);
    return m;
}

std::vector<ChartDayRecord> week(std::uint64_t in = 0, std::uint64_t out = 0) {
    std::vector<ChartDayRecord> days;
    for (int i = 1; i <= 7; ++i) {
        days.push_back({QStringLiteral("2026-03-0%1").arg(i), in, out});
    }
    return days;
}

ChartGeometry layout(QSizeF size, const std::vector<ChartDayRecord>& days) {
    return chartGeometry(size, days, fixedMetrics());
}

TEST(ChartScale, LadderHeadroomAndGridLabels) {
    const struct {
        std::uint64_t in, out;
        double scale;
        const char* top;
    } cases[] = {
        {0, 0, 1e6, "976.6 KB"}, // no traffic: the first step
        {1000000, 0, 1e6, "976.6 KB"},
        {0, 1000001, 5e6, "4.8 MB"},
        {200000000000ULL, 0, 2.2e11, "204.89 GB"}, // past the ladder: a tenth of headroom
    };
    for (const auto& c : cases) {
        const auto g = layout({600, 220}, week(c.in, c.out));
        EXPECT_DOUBLE_EQ(g.scale, c.scale) << c.in << " " << c.out;
        EXPECT_EQ(g.grid[0].label.text, c.top) << c.in << " " << c.out;
    }

    // A count near 2^64 pushes the top label past the counter range: it reads as the
    // largest count instead of wrapping or trapping.
    const auto g = layout({600, 220}, week(kMax));
    EXPECT_EQ(g.grid[0].value, kMax);
    EXPECT_GT(g.grid[1].value, 15000000000000000000ULL);
}

TEST(ChartGeometry, SevenDaysIn600By220) {
    auto days = week();
    days[0].bytes.in = 500000; // half of the 1 000 000 scale
    days[6].bytes.out = 1000000;
    const auto g = layout({600, 220}, days);
    ASSERT_EQ(g.pairs.size(), 7u);

    const auto& first = g.pairs[0];
    EXPECT_NEAR(first.down.top(), 102, 1e-9);
    EXPECT_EQ(first.up, QRectF(first.up.left(), 177, 17.1, 1)); // a silent day: a 1-point bar
    EXPECT_DOUBLE_EQ(g.pairs[6].up.top(), 26);                  // the scale fills the plot exactly

    EXPECT_EQ(first.dateLabel.text, "3/1");
}

TEST(ChartGeometry, LabelsOfEveryRangeNeverOverlapAndTheNewestIsLabelled) {
    // The view's own fonts: the question is whether real labels collide.
    const ChartMetrics real = TrafficChartView().metrics();
    const auto span = [](int n, bool months) {
        std::vector<ChartDayRecord> out;
        QDate day(2025, 1, 1);
        for (int i = 0; i < n; ++i, day = months ? day.addMonths(1) : day.addDays(1)) {
            out.push_back({day.toString(months ? "yyyy-MM" : "yyyy-MM-dd"), 1, 1});
        }
        return out;
    };
    for (const auto& [n, months] : {std::pair{7, false}, {30, false}, {12, true}}) {
        for (double width : {488.0, 568.0, 1200.0}) {
            const auto g = chartGeometry({width, 196}, span(n, months), real);
            ASSERT_EQ(g.pairs.size(), static_cast<std::size_t>(n));
            EXPECT_FALSE(g.pairs.back().dateLabel.text.isEmpty());
            double previousRight = -1e9;
            for (const auto& pair : g.pairs) {
                if (!pair.dateLabel.text.isEmpty()) {
                    EXPECT_GT(pair.dateLabel.topLeft.x(), previousRight) << n << " in " << width;
                    previousRight =
                        pair.dateLabel.topLeft.x() + real.dateLabelWidth(pair.dateLabel.text);
                }
            }
            if (n == 7) {
                EXPECT_EQ(g.labelStep, 1); // a week is labelled in full
            }
        }
    }
}

TEST(TrafficChartView, EmptyStateAndBarsOnScreenAtAnySize) {
    TrafficChartView view;
    const auto render = [&view](QSize size) {
        view.resize(size);
        QImage img(size, QImage::Format_ARGB32_Premultiplied);
        img.fill(TrafficTheme::windowBG());
        QPainter p(&img);
        view.draw(p);
        return img;
    };

    // Empty: the centred text instead of bars.
    const QImage empty = render({600, 220});
    EXPECT_EQ(view.chartLayout().emptyText.text, "暂无数据");

    // With data, a half-height bar is painted where the geometry says, and nothing above it.
    view.dailyData = week(500000, 0);
    const QRectF bar = view.chartLayout().pairs[0].down;
    const QImage img = render({600, 220});
    const QPoint inside = bar.center().toPoint(), above = inside - QPoint(0, bar.height());
    const QRgb blue = TrafficTheme::downBlue().rgb();
    EXPECT_EQ(img.pixel(inside), blue);
    EXPECT_NE(img.pixel(above), blue);
    EXPECT_NE(empty.pixel(inside), blue);

    view.dailyData = week(kMax, kMax);
    // Too narrow or too short for bars: the frame alone, and no crash however small.
    for (QSize tiny : {QSize(20, 220), QSize(600, 50), QSize(1, 1)}) {
        render(tiny);
        EXPECT_TRUE(view.chartLayout().pairs.empty()) << tiny.width() << "x" << tiny.height();
    }
}

} // namespace
