// The card as drawn, the "统计接口" submenu and the stored choice of counted links.

#include "InterfaceMenu.h"
#include "SpeedGraph.h"
#include "SpeedView.h"
#include "WidgetColors.h"

#include <QAction>
#include <QFile>
#include <QImage>
#include <QMenu>
#include <QPainter>
#include <QSettings>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <optional>

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

LinkCounter::Shown shown(const char* name, LinkAttributes a, bool counted) {
    return {{.name = name, .attributes = std::move(a)}, counted};
}

TEST(InterfaceMenu, TicksShowWhatIsCountedAndChoosingSetsTheChoice) {
    const std::vector<LinkCounter::Shown> links = {
        shown("lo", {LinkMedium::Loopback, true, {}, {}}, false),
        shown("wlan0", {LinkMedium::Ethernet, false, {}, "0000:00:14.3"}, true),
        shown("docker0", {LinkMedium::Ethernet, false, "bridge", {}}, false),
    };
    std::optional<InterfaceChoice> chosen;
    QMenu menu;
    addInterfaceSubmenu(menu, InterfaceChoice{}, links,
                        [&chosen](const InterfaceChoice& c) { chosen = c; });
    QMenu* sub = menu.actions().at(0)->menu();
    ASSERT_NE(sub, nullptr);
    const QList<QAction*> items = sub->actions();
    QStringList seen; // no item for loopback; a separator
    for (const QAction* a : items) {
        seen << (a->isChecked() ? "[x] " : "") + a->text();
    }
    EXPECT_EQ(seen,
              QStringList({"[x] 自动", "全部", "", "[x] wlan0\t物理", "docker0\t虚拟 bridge"}));

    // Ticking a link starts from what auto counts now.
    items[4]->trigger();
    EXPECT_EQ(chosen, (InterfaceChoice{InterfaceChoice::Mode::Named, {"docker0", "wlan0"}}));
    items[1]->trigger();
    EXPECT_EQ(chosen, (InterfaceChoice{InterfaceChoice::Mode::All, {}}));

    // A listed link that is absent now stays listed; unticking the last one goes back to auto.
    const InterfaceChoice listed{InterfaceChoice::Mode::Named, {"wlan0", "wwan0"}};
    EXPECT_EQ(interfaceChoiceToggled(listed, links, "wlan0", false),
              (InterfaceChoice{InterfaceChoice::Mode::Named, {"wwan0"}}));
    EXPECT_EQ(
        interfaceChoiceToggled({InterfaceChoice::Mode::Named, {"wlan0"}}, links, "wlan0", false),
        InterfaceChoice{});
}

TEST(InterfaceMenu, ChoiceIsKeptInTheConfigFile) {
    QTemporaryDir dir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());

    storeInterfaceChoice({InterfaceChoice::Mode::Named, {"eth0", "wlan0"}});
    const QString file = dir.path() + QStringLiteral("/Quillfern/Quillfern.conf");
    EXPECT_EQ(loadInterfaceChoice(),
              (InterfaceChoice{InterfaceChoice::Mode::Named, {"eth0", "wlan0"}}));

    // As a user would write it by hand.
    for (const auto& [text, expected] : std::vector<std::pair<QByteArray, InterfaceChoice>>{
             {"all", {InterfaceChoice::Mode::All, {}}},
             {"auto", {}},
             {"\"wlan0 usb0\"", {InterfaceChoice::Mode::Named, {"usb0", "wlan0"}}},
             {"wlan0, usb0 ,wlan0", {InterfaceChoice::Mode::Named, {"usb0", "wlan0"}}},
             {" , ", {}}}) {
        QFile w(file);
        ASSERT_TRUE(w.open(QIODevice::WriteOnly | QIODevice::Truncate));
        w.write("[General]\ninterfaces=" + text + "\n");
        w.close();
        EXPECT_EQ(loadInterfaceChoice(), expected) << text.toStdString();
    }
}

} // namespace
