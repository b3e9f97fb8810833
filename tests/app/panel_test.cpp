#include "FrameString.h"
#include "PanelFrame.h"
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
#include <QWindow>
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
    // A view without a window ignores the pointer.
    SpeedView alone;
    alone.mouseDown({10, 10});
    EXPECT_FALSE(alone.isDragging());
    alone.mouseUp({100, 100});
    EXPECT_TRUE(storedFrame().isEmpty());
}

// A reparenting window manager can leave Qt believing the card sits at (0, 0) while it is
// where the program put it: the drag and the stored frame go by the program's placement.
TEST_F(PanelTest, DragGoesByWhereTheProgramPlacedThePanelNotWhatIsReportedBack) {
    WidgetPanel panel(QRectF(1000, 700, 216, 92));
    panel.present();
    panel.windowHandle()->setPosition(0, 0); // what Qt would believe
    SpeedView& view = *panel.view();
    view.mouseDown({1050, 750});
    view.mouseDragged({950, 650});
    EXPECT_EQ(frameOf(panel), QRectF(900, 600, 216, 92));
    view.mouseUp({950, 650});
    EXPECT_EQ(storedFrame(), "{{900, 600}, {216, 92}}");
}

namespace {

// A menu's items as text; "-" for a separator, "(x)" for a disabled item, "[x]" for a checked one.
QStringList itemsOf(const QMenu& menu) {
    QStringList out;
    for (const QAction* a : menu.actions()) {
        const QString t = a->isSeparator() ? "-" : a->text();
        out << (!a->isEnabled() ? "(" + t + ")" : a->isChecked() ? "[" + t + "]" : t);
    }
    return out;
}

} // namespace

TEST_F(PanelTest, MenuShowsTheStatisticsOfTheMomentAndReportsItsActions) {
    SpeedView view;
    SpeedStats stats;
    stats.peakUp = 1536;
    stats.totalUp = 1048576;
    view.setStats(stats);
    const std::unique_ptr<QMenu> menu = view.buildMenu();
    const QStringList shortMenu{QStringLiteral("(峰值  ↑ 1.5 KB/s    ↓ 0 B/s)"),
                                QStringLiteral("(累计  ↑ 1.0 MB    ↓ 0 B)"),
                                "-",
                                QStringLiteral("重置统计"),
                                "-",
                                QStringLiteral("退出羽蕨")};
    EXPECT_EQ(itemsOf(*menu), shortMenu);
    QAction* quit = menu->actions().back();
    EXPECT_EQ(quit->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    EXPECT_TRUE(quit->isShortcutVisibleInContextMenu());
    // The texts are fixed when the menu is built; the quit shortcut lives as long as the menu.
    view.setStats(SpeedStats{});
    EXPECT_EQ(itemsOf(*menu), shortMenu);
    EXPECT_EQ(quit->shortcutContext(), Qt::ApplicationShortcut);
    EXPECT_TRUE(view.actions().contains(quit));

    // Each item only reports; the view changes nothing itself.
    std::vector<QString> asked;
    QObject::connect(&view, &SpeedView::resetRequested, [&] { asked.push_back("reset"); });
    QObject::connect(&view, &SpeedView::historyRequested, [&] { asked.push_back("history"); });
    QObject::connect(&view, &SpeedView::loginItemToggled,
                     [&](bool on) { asked.push_back(on ? "login on" : "login off"); });
    QObject::connect(&view, &SpeedView::quitRequested, [&] { asked.push_back("quit"); });
    view.setStats(stats);
    menu->actions()[3]->trigger();
    EXPECT_EQ(view.stats(), stats);
    quit->trigger();
    QCoreApplication::processEvents(); // quitting waits for the menu's loop to unwind

    // With the history and the login toggle, whose mark is read when the menu is built.
    bool enabled = true;
    view.setHistoryItemShown(true);
    view.setLoginItemState([&] { return enabled; });
    const std::unique_ptr<QMenu> full = view.buildMenu();
    EXPECT_EQ(itemsOf(*full).mid(3),
              (QStringList{QStringLiteral("重置统计"), QStringLiteral("流量统计…"),
                           QStringLiteral("[登录时启动]"), "-", QStringLiteral("退出羽蕨")}));
    full->actions()[4]->trigger();
    full->actions()[5]->trigger();
    EXPECT_EQ(asked, (std::vector<QString>{"reset", "quit", "history", "login off"}));
    enabled = false;
    EXPECT_FALSE(view.buildMenu()->actions()[5]->isChecked());
}

TEST(SpeedStats, ResetClearsPeaksTotalsAndHistoriesButNotTheRates) {
    SpeedStats s;
    s.uploadSpeed = 1200;
    s.downloadSpeed = 3400;
    s.peakUp = 5000;
    s.peakDown = 6000;
    s.totalUp = 1u << 30;
    s.totalDown = 7;
    s.upHistory.fill(10);
    s.downHistory.fill(20);
    s.reset();
    SpeedStats expected;
    expected.uploadSpeed = 1200;
    expected.downloadSpeed = 3400;
    EXPECT_EQ(s, expected);
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
    // The bottom edge stays where the model put it; the model keeps the fraction, so a
    // stored origin survives any number of save/restore cycles.
    EXPECT_NEAR(qt.y(), scrPrimaryHeight() - 20.5 - 92, 0.5);
    EXPECT_EQ(panelWindowFrame(panel), QRectF(10.25, 20.5, 216, 92));
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
