#include "Formatters.h"
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

std::vector<QString> labels(const ChartGeometry& g) {
    std::vector<QString> out;
    for (const auto& line : g.grid) {
        out.push_back(line.label.text);
    }
    return out;
}

using L = std::vector<QString>;

TEST(ChartScale, LadderAndLabels) {
    // No traffic at all: the scale starts from 1 byte and lands on the first step.
    auto g = chartGeometry({600, 220}, week(), fixedMetrics());
    EXPECT_EQ(g.scale, 1e6);
    EXPECT_EQ(labels(g), (L{"976.6 KB", "732.4 KB", "488.3 KB", "244.1 KB", "0 B"}));

    EXPECT_EQ(chartScale(week(1000000)), 1e6);
    g = chartGeometry({600, 220}, week(0, 1000001), fixedMetrics());
    EXPECT_EQ(g.scale, 5e6);
    EXPECT_EQ(labels(g), (L{"4.8 MB", "3.6 MB", "2.4 MB", "1.2 MB", "0 B"}));

    g = chartGeometry({600, 220}, week(5000000000ULL), fixedMetrics());
    EXPECT_EQ(labels(g), (L{"4.66 GB", "3.49 GB", "2.33 GB", "1.16 GB", "0 B"}));
    EXPECT_EQ(chartScale(week(100000000000ULL)), 1e11);

    // Past the ladder the scale leaves a tenth of headroom.
    auto days = week();
    days[3].inBytes = 200000000000ULL;
    g = chartGeometry({600, 220}, days, fixedMetrics());
    EXPECT_DOUBLE_EQ(g.scale, 220000000000.0);
    EXPECT_EQ(g.grid[0].label.text, "204.89 GB");
    EXPECT_NEAR(g.pairs[3].down.height(), 152 / 1.1, 1e-9);

    // A count near 2^64 pushes the top label past the counter range: it reads as the
    // largest count instead of wrapping or trapping.
    g = chartGeometry({600, 220}, week(kMax), fixedMetrics());
    EXPECT_EQ(g.grid[0].value, kMax);
    EXPECT_EQ(g.grid[0].label.text, fmtBytesTraffic(kMax));
    EXPECT_LT(g.grid[1].value, kMax);
    EXPECT_GT(g.grid[1].value, 15000000000000000000ULL);
    EXPECT_EQ(chartGridValue(1e30, 3), kMax);
    EXPECT_EQ(chartGridValue(1e6, 4), 0u);
}

TEST(ChartGeometry, SevenDaysIn600By220) {
    auto days = week();
    days[0].inBytes = 500000; // half of the 1 000 000 scale
    days[6].outBytes = 1000000;
    const auto g = chartGeometry({600, 220}, days, fixedMetrics());
    ASSERT_FALSE(g.empty);
    EXPECT_NEAR(g.slotWidth, 526.0 / 7, 1e-9);
    EXPECT_DOUBLE_EQ(g.pairWidth, 38);
    EXPECT_DOUBLE_EQ(g.plotHeight, 152);
    ASSERT_EQ(g.pairs.size(), 7u);

    const auto& first = g.pairs[0];
    EXPECT_NEAR(first.down.left(), 76.5714, 1e-3);
    EXPECT_NEAR(first.down.width(), 17.1, 1e-9);
    EXPECT_NEAR(first.up.left(), 95.5714, 1e-3);
    EXPECT_NEAR(first.up.width(), 17.1, 1e-9);
    EXPECT_NEAR(first.down.top(), 102, 1e-9);
    EXPECT_NEAR(first.down.bottom(), 178, 1e-9);
    // A silent day still shows a one-point bar on the zero line.
    EXPECT_DOUBLE_EQ(first.up.height(), 1);
    EXPECT_DOUBLE_EQ(first.up.bottom(), 178);
    // A value equal to the scale fills the plot exactly.
    EXPECT_DOUBLE_EQ(g.pairs[6].up.top(), 26);

    // Date labels are centred on their pair, 9 below the zero line.
    EXPECT_EQ(first.dateLabel.text, "3/1");
    EXPECT_NEAR(first.dateLabel.topLeft.x(), first.down.left() + (38 - 15) / 2.0, 1e-9);
    EXPECT_DOUBLE_EQ(first.dateLabel.topLeft.y(), 187);

    // Grid: five lines from the top margin to the zero line, labels 6 above each.
    EXPECT_EQ(g.grid[0].line, QLineF(58, 26, 584, 26));
    EXPECT_EQ(g.grid[2].line, QLineF(58, 102, 584, 102));
    EXPECT_EQ(g.grid[4].line, QLineF(58, 178, 584, 178));
    EXPECT_EQ(g.grid[4].label.topLeft, QPointF(4, 172));

    // Legend: the upload entry follows the measured width of "下载".
    EXPECT_EQ(g.downSwatch, QRectF(58, 9, 8, 8));
    EXPECT_EQ(g.downLegend.topLeft, QPointF(70, 8));
    EXPECT_EQ(g.upSwatch, QRectF(106, 9, 8, 8));
    EXPECT_EQ(g.upLegend.topLeft, QPointF(118, 8));
    EXPECT_EQ(g.upLegend.text, "上传");
}

TEST(ChartGeometry, NarrowSlotsAndNoRoom) {
    // One day in a 100-wide view: g = 26 < 48, so the pair is g - 10.
    std::vector<ChartDayRecord> one{{"2026-03-01", 0, 0}};
    auto g = chartGeometry({100, 220}, one, fixedMetrics());
    EXPECT_DOUBLE_EQ(g.pairWidth, 16);
    EXPECT_DOUBLE_EQ(g.pairs[0].down.width(), 0.45 * 16);
    EXPECT_DOUBLE_EQ(g.pairs[0].down.left(), 58 + 5);
    g = chartGeometry({410, 220}, week(), fixedMetrics());
    EXPECT_DOUBLE_EQ(g.pairWidth, 38); // exactly at the cap
    g = chartGeometry({400, 220}, week(), fixedMetrics());
    EXPECT_LT(g.pairWidth, 38);

    // Slots of 10 or less leave no room for a pair: no bars, no dates; frame still there.
    g = chartGeometry({144, 220}, week(), fixedMetrics());
    EXPECT_DOUBLE_EQ(g.pairWidth, 0);
    EXPECT_TRUE(g.pairs.empty());
    EXPECT_EQ(labels(g).size(), 5u);
    EXPECT_EQ(g.downLegend.text, "下载");
    g = chartGeometry({20, 220}, week(), fixedMetrics());
    EXPECT_LT(g.pairWidth, 0);
    EXPECT_TRUE(g.pairs.empty());

    // Shorter than the two margins: the plot height is negative.
    g = chartGeometry({600, 50}, week(7), fixedMetrics());
    EXPECT_DOUBLE_EQ(g.plotHeight, -18);
    EXPECT_TRUE(g.pairs.empty());
    g = chartGeometry({600, 68}, week(7), fixedMetrics());
    EXPECT_EQ(g.pairs.size(), 7u); // zero height still stands 1-point bars

    // Neither draws nor crashes, however small.
    TrafficChartView view;
    view.dailyData = week(kMax, kMax);
    for (QSize s : {QSize(20, 220), QSize(600, 50), QSize(1, 1)}) {
        view.resize(s);
        QImage img(s, QImage::Format_ARGB32_Premultiplied);
        img.fill(Qt::black);
        QPainter p(&img);
        view.draw(p);
    }
}

int countNear(const QImage& img, const QColor& c, const QRect& area) {
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor px = img.pixelColor(x, y);
            if (std::abs(px.red() - c.red()) < 6 && std::abs(px.green() - c.green()) < 6 &&
                std::abs(px.blue() - c.blue()) < 6) {
                ++n;
            }
        }
    }
    return n;
}

TEST(TrafficChartView, EmptyStateAndBarsOnScreen) {
    TrafficChartView view;
    view.resize(600, 220);
    const auto render = [&] {
        QImage img(600, 220, QImage::Format_ARGB32_Premultiplied);
        img.fill(TrafficTheme::windowBG());
        QPainter p(&img);
        view.draw(p);
        return img;
    };

    // Empty: the card and the centred text only, no legend swatch and no bars.
    auto g = view.chartLayout();
    EXPECT_TRUE(g.empty);
    EXPECT_EQ(g.emptyText.text, "暂无数据");
    EXPECT_NEAR(g.emptyText.topLeft.x() * 2 + view.metrics().emptyTextSize.width(), 600, 1e-6);
    QImage img = render();
    EXPECT_EQ(countNear(img, TrafficTheme::downBlue(), img.rect()), 0);
    EXPECT_EQ(countNear(img, TrafficTheme::upGreen(), img.rect()), 0);
    EXPECT_GT(countNear(img, TrafficTheme::cardBG(), QRect(20, 20, 200, 60)), 11000);

    // With data, the legend swatch and a half-height bar appear where the geometry says.
    view.dailyData = week(500000, 0);
    g = view.chartLayout();
    img = render();
    EXPECT_GT(countNear(img, TrafficTheme::downBlue(), QRect(59, 10, 6, 6)), 30);
    const QRect bar = g.pairs[0].down.toAlignedRect().adjusted(2, 2, -2, -2);
    EXPECT_GT(countNear(img, TrafficTheme::downBlue(), bar), bar.width() * bar.height() * 9 / 10);
    EXPECT_EQ(countNear(img, TrafficTheme::downBlue(), QRect(59, 30, 10, 60)), 0);
}

} // namespace

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
            const auto days = span(n, months);
            const auto g = chartGeometry({width, 196}, days, real);
            ASSERT_EQ(g.pairs.size(), static_cast<std::size_t>(n));
            EXPECT_FALSE(g.pairs.back().dateLabel.text.isEmpty());
            double previousRight = -1e9;
            for (const auto& pair : g.pairs) {
                if (pair.dateLabel.text.isEmpty()) {
                    continue;
                }
                const double left = pair.dateLabel.topLeft.x();
                EXPECT_GT(left, previousRight) << n << " in " << width;
                previousRight = left + real.dateLabelWidth(pair.dateLabel.text);
            }
            if (n == 7) {
                EXPECT_EQ(g.labelStep, 1); // a week is labelled in full, as it always was
            }
        }
    }
    EXPECT_GT(chartGeometry({568, 196}, span(30, false), real).labelStep, 1);
}
