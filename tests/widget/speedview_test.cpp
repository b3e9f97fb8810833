#include "SpeedGraph.h"
#include "SpeedView.h"
#include "WidgetColors.h"

#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>

namespace {

QImage render(const SpeedView& view, qreal dpr = 1) {
    QImage img((QSizeF(view.size()) * dpr).toSize(), QImage::Format_ARGB32_Premultiplied);
    img.setDevicePixelRatio(dpr);
    img.fill(Qt::transparent);
    QPainter p(&img);
    view.draw(p);
    p.end();
    return img;
}

// Changes the statistics the view shows, as the tick does.
void edit(SpeedView& view, const auto& change) {
    SpeedStats s = view.stats();
    change(s);
    view.setStats(s);
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

    // A new rate shows at once; a history that moved on, in the graph.
    edit(view, [](SpeedStats& s) { s.uploadSpeed = 2048; });
    const QImage rate = render(view);
    EXPECT_NE(rate.copy(0, 0, 216, 58), first.copy(0, 0, 216, 58));
    edit(view, [](SpeedStats& s) { s.downHistory[59] = 0; });
    EXPECT_NE(render(view).copy(0, 58, 216, 34), rate.copy(0, 58, 216, 34));

    // Back to the first values: nothing of the pictures in between is left.
    fillBusy(view);
    EXPECT_EQ(render(view), first);
}

TEST(SpeedView, BarsMatchQPainterRoundedRectsAtEachWidthAndScale) {
    // The bars' coverage is computed by hand; QPainter's own rounded rectangles over the
    // same card are the reference. They may differ by a few levels, and by more only on
    // slivers under a pixel tall, where QPainter flattens the rounded ends to chords.
    // HiDPI screens paint at a device pixel ratio: the picture is made at that scale.
    for (const auto& [width, dpr] : {std::pair{216, 1.0}, {300, 1.0}, {216, 1.25}, {216, 2.0}}) {
        SCOPED_TRACE(testing::Message() << width << " at " << dpr);
        SpeedView view(QRectF(0, 0, width, 92));
        fillBusy(view);
        edit(view, [](SpeedStats& s) { s.upHistory[30] = 0.2; }); // a sliver
        const QImage kept = render(view, dpr);

        SpeedView bare(QRectF(0, 0, width, 92));
        edit(bare, [&](SpeedStats& s) {
            s.uploadSpeed = view.stats().uploadSpeed;
            s.downloadSpeed = view.stats().downloadSpeed;
        });
        const QImage card = render(bare, dpr);
        // The card follows the width, its flat fill sharp up to its edge (no resampling blur).
        const QRgb inside = card.pixel(qRound((width - 20) * dpr), qRound(40 * dpr));
        EXPECT_EQ(card.pixel(qRound((width - 66) * dpr), qRound(3 * dpr)), inside);
        EXPECT_EQ(qAlpha(card.pixel(card.width() - 1, 0)), 0);

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

        // Every pixel is close: a missing bar, a wrong colour or a height off by more than an
        // eighth of a pixel shows at its edge.
        int worst = 0;
        for (int y = 0; y < kept.height(); ++y) {
            for (int x = 0; x < kept.width(); ++x) {
                const QRgb k = kept.pixel(x, y), e = expected.pixel(x, y);
                worst =
                    std::max({worst, std::abs(qRed(k) - qRed(e)), std::abs(qGreen(k) - qGreen(e)),
                              std::abs(qBlue(k) - qBlue(e)), std::abs(qAlpha(k) - qAlpha(e))});
            }
        }
        EXPECT_LE(worst, 32);
    }
}

} // namespace
