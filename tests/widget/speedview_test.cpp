#include "SpeedGraph.h"
#include "SpeedView.h"
#include "WidgetColors.h"

#include <QFontDatabase>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>

namespace {

QImage render(const SpeedView& view) {
    QImage img(view.size(), QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    view.draw(p);
    p.end();
    return img;
}

// Bounding box of the pixels where pred holds inside the region.
QRect findPixels(const QImage& img, const QRect& region, auto pred) {
    QRect box;
    for (int y = region.top(); y <= region.bottom(); ++y) {
        for (int x = region.left(); x <= region.right(); ++x) {
            if (pred(img.pixelColor(x, y))) {
                box = box.united(QRect(x, y, 1, 1));
            }
        }
    }
    return box;
}

// Changes the statistics the view shows, as the tick does.
void edit(SpeedView& view, const auto& change) {
    SpeedStats s = view.stats();
    change(s);
    view.setStats(s);
}

bool greenish(const QColor& c) {
    return c.green() > 120 && c.green() > c.red() + 50 && c.green() > c.blue() + 20;
}
bool bluish(const QColor& c) {
    return c.blue() > 150 && c.blue() > c.red() + 80 && c.blue() > c.green() + 30;
}

TEST(SpeedView, StartsEmptyAtTheWidgetSize) {
    SpeedView view;
    EXPECT_EQ(view.size(), QSize(216, 92));
    EXPECT_EQ(view.stats(), SpeedStats{});
    EXPECT_TRUE(view.testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_EQ(view.hostPanel(), nullptr);

    SpeedView wide(QRectF(5, 7, 300, 92));
    EXPECT_EQ(wide.geometry(), QRect(5, 7, 300, 92));
}

TEST(SpeedView, RendersCardRatesAndHangingGraph) {
    SpeedView view;
    edit(view, [](SpeedStats& s) {
        s.uploadSpeed = 1536;
        s.downloadSpeed = 2.5 * 1048576;
        s.downHistory[59] = 3000;
        s.upHistory[59] = 1000;
        s.downHistory[30] = 1500;
    });
    const QImage img = render(view);
    img.save(QStringLiteral("/tmp/quillfern_speedview.png"));
    {
        // An enlarged copy over a light desktop, for looking at by eye.
        QImage shown(img.size() * 4, QImage::Format_ARGB32_Premultiplied);
        shown.fill(QColor(210, 210, 210));
        QPainter p(&shown);
        p.drawImage(shown.rect(), img);
        p.end();
        shown.save(QStringLiteral("/tmp/quillfern_speedview_x4.png"));
    }

    // Corners outside the rounded card stay transparent; the inside is the dark card.
    EXPECT_EQ(qAlpha(img.pixel(0, 0)), 0);
    EXPECT_EQ(qAlpha(img.pixel(215, 91)), 0);
    const QColor inside = img.pixelColor(108, 55);
    EXPECT_NEAR(inside.alphaF(), 0.82, 0.02);
    EXPECT_LT(inside.red(), 30);

    // Arrows: green up arrow in the first row, blue down arrow in the second.
    const QRect upArrow = findPixels(img, QRect(10, 8, 20, 22), greenish);
    const QRect downArrow = findPixels(img, QRect(10, 31, 20, 22), bluish);
    EXPECT_FALSE(upArrow.isEmpty());
    EXPECT_FALSE(downArrow.isEmpty());
    EXPECT_TRUE(findPixels(img, QRect(10, 8, 20, 22), bluish).isEmpty());
    EXPECT_TRUE(findPixels(img, QRect(10, 31, 20, 22), greenish).isEmpty());
    EXPECT_LT(upArrow.bottom(), downArrow.top());

    // White rate text to the right of the arrows.
    const auto white = [](const QColor& c) { return c.red() > 200 && c.green() > 200; };
    EXPECT_FALSE(findPixels(img, QRect(34, 12, 100, 17), white).isEmpty());
    EXPECT_FALSE(findPixels(img, QRect(34, 35, 100, 17), white).isEmpty());

    // The newest bar is the rightmost, hanging from y 62: blue 62..77, then green 77..82.
    const int lastX = static_cast<int>(14 + 59 * (188.0 / 60) + 1);
    const QRect graph(14, 58, 188, 30);
    const QRect blue = findPixels(img, graph, bluish);
    const QRect green = findPixels(img, graph, greenish);
    EXPECT_EQ(blue.top(), 62);
    EXPECT_EQ(blue.bottom(), 76);
    EXPECT_EQ(green.top(), 77);
    EXPECT_EQ(green.bottom(), 81);
    EXPECT_TRUE(green.contains(lastX, 79));
    // The middle sample has only a download part, 7.5 points tall.
    const int midX = static_cast<int>(14 + 30 * (188.0 / 60) + 1);
    EXPECT_TRUE(bluish(img.pixelColor(midX, 64)));
    EXPECT_FALSE(bluish(img.pixelColor(midX, 71)));
}

TEST(SpeedView, RateFontHasTabularDigits) {
    // The rates change every second; digits of unequal advance would make them jitter.
    SpeedView view;
    edit(view, [](SpeedStats& s) {
        s.uploadSpeed = 111;
        s.downloadSpeed = 888;
    });
    const QImage a = render(view);
    // Same width of ink span for "111 B/s" and "888 B/s" ends: the unit starts at one x.
    const auto white = [](const QColor& c) { return c.red() > 200 && c.green() > 200; };
    const QRect up = findPixels(a, QRect(34, 12, 120, 17), white);
    const QRect down = findPixels(a, QRect(34, 35, 120, 17), white);
    EXPECT_NEAR(up.right(), down.right(), 1);
}

TEST(SpeedView, CardAndGraphFollowTheWidth) {
    SpeedView view(QRectF(0, 0, 300, 92));
    edit(view, [](SpeedStats& s) { s.upHistory[59] = 2048; }); // full height, the newest
    const QImage img = render(view);
    EXPECT_EQ(qAlpha(img.pixel(299, 0)), 0);
    EXPECT_NEAR(img.pixelColor(280, 50).alphaF(), 0.82, 0.02);
    const QRect green = findPixels(img, QRect(14, 58, 286 - 14, 30), greenish);
    const double step = (300.0 - 28) / 60;
    EXPECT_NEAR(green.left(), 14 + 59 * step, 1);
    EXPECT_EQ(green.top(), 62);
    EXPECT_EQ(green.bottom(), 81);
    // The texts keep their points: the up arrow is where it is on the standard card.
    EXPECT_FALSE(findPixels(img, QRect(10, 8, 20, 22), greenish).isEmpty());
}

int maxChannelDiff(QRgb a, QRgb b) {
    return std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                     std::abs(qBlue(a) - qBlue(b)), std::abs(qAlpha(a) - qAlpha(b))});
}

void fillBusy(SpeedView& view) {
    edit(view, [](SpeedStats& s) {
        s.uploadSpeed = 123456;
        s.downloadSpeed = 7654321;
        for (int i = 0; i < SpeedStats::historyMax; ++i) {
            s.upHistory[i] = 1000.0 * (i % 7);
            s.downHistory[i] = 5000.0 * (i % 11) + 333.3 * i;
        }
    });
}

TEST(SpeedView, KeptPictureFollowsEveryDrawnChange) {
    SpeedView view;
    fillBusy(view);
    const QImage first = render(view);
    EXPECT_EQ(render(view), first);

    // A new rate shows at once; the graph is untouched.
    edit(view, [](SpeedStats& s) { s.uploadSpeed = 2048; });
    const QImage rate = render(view);
    EXPECT_NE(rate.copy(0, 0, 216, 58), first.copy(0, 0, 216, 58));
    EXPECT_EQ(rate.copy(0, 58, 216, 34), first.copy(0, 58, 216, 34));
    // A change too small to show in the text leaves the picture as it was.
    edit(view, [](SpeedStats& s) { s.uploadSpeed = 2048.4; });
    EXPECT_EQ(render(view), rate);

    // The history moved on by one bar: the graph changes.
    edit(view, [](SpeedStats& s) { s.downHistory[59] = 0; });
    EXPECT_NE(render(view).copy(0, 58, 216, 34), rate.copy(0, 58, 216, 34));

    // Back to the first values: the same picture, and another view of another size in
    // between gets its own.
    fillBusy(view);
    SpeedView wide(QRectF(0, 0, 300, 92));
    fillBusy(wide);
    const QImage wideFirst = render(wide);
    EXPECT_EQ(wideFirst.size(), QSize(300, 92));
    EXPECT_EQ(render(view), first);
    EXPECT_EQ(render(wide), wideFirst);
}

TEST(SpeedView, BarsMatchQPainterRoundedRects) {
    // The bars' coverage is computed by hand; QPainter's own rounded rectangles over the
    // same card are the reference. They may differ by a few levels, and by more only on
    // slivers under a pixel tall, where QPainter flattens the rounded ends to chords.
    for (const int width : {216, 300}) {
        SpeedView view(QRectF(0, 0, width, 92));
        fillBusy(view);
        edit(view, [](SpeedStats& s) { s.upHistory[30] = 0.2; }); // a sliver
        const QImage kept = render(view);

        SpeedView bare(QRectF(0, 0, width, 92));
        edit(bare, [&](SpeedStats& s) {
            s.uploadSpeed = view.stats().uploadSpeed;
            s.downloadSpeed = view.stats().downloadSpeed;
        });
        const QImage card = render(bare);
        QImage expected = card;
        QPainter p(&expected);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        for (const GraphBar& bar :
             graphLayout(view.stats().upHistory, view.stats().downHistory, width).bars) {
            p.setBrush(widgetDownColor(kBarAlpha));
            p.drawRoundedRect(bar.down, 1, 1);
            p.setBrush(widgetUpColor(kBarAlpha));
            p.drawRoundedRect(bar.up, 1, 1);
        }
        p.end();

        // Outside the graph nothing differs; inside, every pixel is close and the total
        // ink of each colour (what a wrong height or a missing bar would change) agrees.
        int worst = 0;
        double keptBlue = 0, expectedBlue = 0, keptGreen = 0, expectedGreen = 0;
        for (int y = 0; y < kept.height(); ++y) {
            for (int x = 0; x < kept.width(); ++x) {
                const QRgb k = kept.pixel(x, y), e = expected.pixel(x, y);
                if (y < kGraphTop - 1 || y > kGraphTop + kGraphHeight + 1) {
                    ASSERT_EQ(k, e) << "at " << x << "," << y;
                }
                worst = std::max(worst, maxChannelDiff(k, e));
                const QRgb c = card.pixel(x, y);
                keptBlue += qBlue(k) - qBlue(c);
                expectedBlue += qBlue(e) - qBlue(c);
                keptGreen += qGreen(k) - qGreen(c);
                expectedGreen += qGreen(e) - qGreen(c);
            }
        }
        EXPECT_LE(worst, 32) << "width " << width;
        EXPECT_NEAR(keptBlue / expectedBlue, 1, 0.01) << "width " << width;
        EXPECT_NEAR(keptGreen / expectedGreen, 1, 0.01) << "width " << width;
    }
}

TEST(SpeedView, KeptPictureAtDevicePixelRatios) {
    // HiDPI screens paint at a device pixel ratio; the picture is made at that scale and
    // lands pixel for pixel (no blur from resampling).
    for (const qreal dpr : {1.0, 1.25, 2.0}) {
        SpeedView view;
        fillBusy(view);
        QImage img(qRound(216 * dpr), qRound(92 * dpr), QImage::Format_ARGB32_Premultiplied);
        img.setDevicePixelRatio(dpr);
        img.fill(Qt::transparent);
        QPainter p(&img);
        view.draw(p);
        p.end();
        // The card's flat fill is the same everywhere inside, sharp up to its edge.
        const QRgb inside = img.pixel(qRound(150 * dpr), qRound(40 * dpr));
        EXPECT_NEAR(qAlpha(inside), qRound(0.82 * 255), 1) << dpr;
        EXPECT_EQ(img.pixel(qRound(150 * dpr), qRound(3 * dpr)), inside) << dpr;
        EXPECT_EQ(qAlpha(img.pixel(0, 0)), 0) << dpr;
        // The bars are there at that scale.
        const QRect blue =
            findPixels(img, QRect(0, qRound(60 * dpr), img.width(), qRound(25 * dpr)), bluish);
        EXPECT_NEAR(blue.top(), 62 * dpr, 1) << dpr;
        EXPECT_GT(blue.width(), 150 * dpr) << dpr;
    }
}

} // namespace
