#include "FrameString.h"
#include "ScreenCoords.h"
#include "SpeedView.h"
#include "WidgetPanel.h"

#include <QAction>
#include <QApplication>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>
#include <vector>

namespace {

// Stored frames go to a private directory, never to the user's settings.
class PanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
        settings().remove(QString::fromLatin1(frameSettingsKey));
    }

    static QSettings settings() {
        return QSettings(QString::fromLatin1(frameSettingsOrganization),
                         QString::fromLatin1(frameSettingsApplication));
    }
    static QString storedFrame() {
        return settings().value(QString::fromLatin1(frameSettingsKey)).toString();
    }
    static QRectF frameOf(const QWidget& w) {
        return scrRectFromQt(QRectF(w.geometry()), scrPrimaryHeight());
    }
    // The screen's visible frame in screen coordinates (offscreen: the whole screen).
    static QRectF visible() { return *scrMainVisibleFrame(); }

    QTemporaryDir dir;
};

} // namespace

TEST_F(PanelTest, ClickWithoutMovementStoresTheUnchangedFrame) {
    WidgetPanel panel(QRectF(100, 200, 216, 92));
    panel.present();
    SpeedView& view = *panel.view();
    view.mouseDown({150, 250});
    EXPECT_TRUE(view.isDragging());
    EXPECT_TRUE(storedFrame().isEmpty());
    view.mouseUp({150, 250});
    EXPECT_FALSE(view.isDragging());
    EXPECT_EQ(storedFrame(), "{{100, 200}, {216, 92}}");
    // A release without a press stores nothing new.
    settings().remove(QString::fromLatin1(frameSettingsKey));
    view.mouseUp({150, 250});
    EXPECT_TRUE(storedFrame().isEmpty());
}

// The limits are the drag geometry's own tests; here, the panel follows and stores.
TEST_F(PanelTest, DragMovesThePanelWithThePointerAndStoresItOnRelease) {
    WidgetPanel panel(QRectF(100, 200, 216, 92));
    panel.present();
    SpeedView& view = *panel.view();
    view.mouseDown({150, 250});
    view.mouseDragged({250, 300});
    EXPECT_TRUE(view.hasDragMoved());
    EXPECT_EQ(frameOf(panel), QRectF(200, 250, 216, 92));
    EXPECT_TRUE(storedFrame().isEmpty());
    view.mouseUp({250, 300});
    EXPECT_EQ(storedFrame(), "{{200, 250}, {216, 92}}");
    // Moves after the release do nothing.
    view.mouseDragged({400, 300});
    EXPECT_EQ(frameOf(panel), QRectF(200, 250, 216, 92));
}

TEST_F(PanelTest, ViewWithoutAWindowIgnoresThePointer) {
    SpeedView view;
    view.mouseDown({10, 10});
    EXPECT_FALSE(view.isDragging());
    view.mouseDragged({100, 100});
    view.mouseUp({100, 100});
    EXPECT_TRUE(storedFrame().isEmpty());
}

TEST_F(PanelTest, MenuShowsTheStatisticsOfTheMomentAndTheActions) {
    SpeedView view;
    view.peakUp = 1536;
    view.peakDown = 0;
    view.totalUp = 1048576;
    view.totalDown = 0;
    const std::unique_ptr<QMenu> menu = view.buildMenu();
    const QList<QAction*> items = menu->actions();
    ASSERT_EQ(items.size(), 6);
    EXPECT_EQ(items[0]->text(), QStringLiteral("峰值  ↑ 1.5 KB/s    ↓ 0 B/s"));
    EXPECT_FALSE(items[0]->isEnabled());
    EXPECT_EQ(items[1]->text(), QStringLiteral("累计  ↑ 1.0 MB    ↓ 0 B"));
    EXPECT_FALSE(items[1]->isEnabled());
    EXPECT_TRUE(items[2]->isSeparator());
    EXPECT_EQ(items[3]->text(), QStringLiteral("重置统计"));
    EXPECT_TRUE(items[3]->isEnabled());
    EXPECT_TRUE(items[4]->isSeparator());
    EXPECT_EQ(items[5]->text(), QStringLiteral("退出羽蕨"));
    EXPECT_EQ(items[5]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    EXPECT_TRUE(items[5]->isShortcutVisibleInContextMenu());

    // The texts are fixed when the menu is built.
    view.peakUp = 0;
    EXPECT_EQ(items[0]->text(), QStringLiteral("峰值  ↑ 1.5 KB/s    ↓ 0 B/s"));
    // The quit shortcut is reachable only while its menu exists.
    EXPECT_EQ(items[5]->shortcutContext(), Qt::ApplicationShortcut);
    EXPECT_TRUE(view.actions().contains(items[5]));

    // With a history opener the menu offers it as well.
    int opened = 0;
    view.openHistory = [&] { ++opened; };
    const std::unique_ptr<QMenu> longer = view.buildMenu();
    ASSERT_EQ(longer->actions().size(), 7);
    EXPECT_EQ(longer->actions()[3]->text(), QStringLiteral("重置统计"));
    EXPECT_EQ(longer->actions()[4]->text(), QStringLiteral("流量统计…"));
    EXPECT_TRUE(longer->actions()[5]->isSeparator());
    longer->actions()[4]->trigger();
    EXPECT_EQ(opened, 1);

    // The login toggle follows the history item; its mark is read when the menu is built.
    bool enabled = true;
    std::vector<bool> writes;
    view.isAutostartEnabled = [&] { return enabled; };
    view.setAutostartEnabled = [&](bool on) { writes.push_back(on); };
    const std::unique_ptr<QMenu> full = view.buildMenu();
    ASSERT_EQ(full->actions().size(), 8);
    QAction* login = full->actions()[5];
    EXPECT_EQ(login->text(), QStringLiteral("登录时启动"));
    EXPECT_TRUE(login->isCheckable());
    EXPECT_TRUE(login->isChecked());
    EXPECT_TRUE(full->actions()[6]->isSeparator());
    EXPECT_EQ(full->actions()[7]->text(), QStringLiteral("退出羽蕨"));
    login->trigger();
    EXPECT_EQ(writes, std::vector<bool>{false});
    enabled = false;
    EXPECT_FALSE(view.buildMenu()->actions()[5]->isChecked());
}

TEST_F(PanelTest, ResetClearsPeaksTotalsAndHistoriesButNotTheRates) {
    SpeedView view;
    view.uploadSpeed = 1200;
    view.downloadSpeed = 3400;
    view.peakUp = 5000;
    view.peakDown = 6000;
    view.totalUp = 1u << 30;
    view.totalDown = 7;
    view.upHistory.fill(10);
    view.downHistory.fill(20);
    const std::unique_ptr<QMenu> menu = view.buildMenu();
    menu->actions()[3]->trigger();
    EXPECT_EQ(view.uploadSpeed, 1200);
    EXPECT_EQ(view.downloadSpeed, 3400);
    EXPECT_EQ(view.peakUp, 0);
    EXPECT_EQ(view.peakDown, 0);
    EXPECT_EQ(view.totalUp, 0u);
    EXPECT_EQ(view.totalDown, 0u);
    for (int i = 0; i < SpeedStats::historyMax; ++i) {
        EXPECT_EQ(view.upHistory[i], 0);
        EXPECT_EQ(view.downHistory[i], 0);
    }
    const std::unique_ptr<QMenu> after = view.buildMenu();
    EXPECT_EQ(after->actions()[0]->text(), QStringLiteral("峰值  ↑ 0 B/s    ↓ 0 B/s"));
    EXPECT_EQ(after->actions()[1]->text(), QStringLiteral("累计  ↑ 0 B    ↓ 0 B"));
}

namespace {

// Opens the view's menu, records where it appeared, and closes it once a fast timer has
// fired five times while it was open (were timers stopped, the menu would never close).
struct MenuRun {
    QPoint topLeft;
    int ticksWhileOpen = 0;
};

MenuRun runMenu(SpeedView& view, QPointF pointer) {
    MenuRun run;
    QTimer ticker;
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        QWidget* popup = QApplication::activePopupWidget();
        if (!popup) {
            return;
        }
        run.topLeft = popup->geometry().topLeft();
        if (++run.ticksWhileOpen >= 5) {
            popup->close();
        }
    });
    ticker.start();
    view.showContextMenu(pointer);
    return run;
}

} // namespace

// Where the menu goes is the menu geometry's own test; here, that it goes there and that
// the timers keep running while it is open.
TEST_F(PanelTest, MenuOpensBelowTheWidgetAndTimersKeepRunning) {
    WidgetPanel panel(QRectF(100, visible().bottom() - 104, 216, 92));
    panel.present();
    MenuRun below = runMenu(*panel.view(), {0, 0});
    EXPECT_EQ(below.topLeft,
              scrPointToQt({100, visible().bottom() - 106}, scrPrimaryHeight()).toPoint());
    EXPECT_GE(below.ticksWhileOpen, 5);
}

TEST_F(PanelTest, MenuWithoutAWindowOpensAtThePointer) {
    SpeedView view;
    MenuRun run = runMenu(view, {40, 300});
    EXPECT_EQ(run.topLeft, scrPointToQt({40, 300}, scrPrimaryHeight()).toPoint());
}

TEST_F(PanelTest, PanelOffEveryScreenOpensItsMenuAtThePointer) {
    const double h = scrPrimaryHeight();
    const QRectF away(visible().right() + 500, 100, 216, 92);
    WidgetPanel panel(away);
    panel.present();
    ASSERT_EQ(frameOf(panel), away);

    MenuRun run = runMenu(*panel.view(), {40, 300});
    EXPECT_EQ(run.topLeft, scrPointToQt({40, 300}, h).toPoint());
}

TEST_F(PanelTest, FractionalFramesLandOnWholePixelsWithoutGrowing) {
    WidgetPanel panel(QRectF(10.25, 20.5, 216, 92.4));
    const QRect qt = panel.geometry();
    EXPECT_EQ(qt.size(), QSize(216, 92));
    EXPECT_EQ(qt.x(), 10);
    EXPECT_NEAR(qt.y(), scrPrimaryHeight() - 20.5 - 92.4, 0.5);
    EXPECT_EQ(panel.view()->size(), QSize(216, 92));
}

TEST_F(PanelTest, EachMenuLeavesNothingBehindOnTheView) {
    SpeedView view;
    for (int i = 0; i < 3; ++i) {
        const std::unique_ptr<QMenu> menu = view.buildMenu();
        EXPECT_EQ(view.actions().size(), 1);
    }
    EXPECT_TRUE(view.actions().isEmpty());
}
