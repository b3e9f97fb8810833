#include "FrameString.h"
#include "PanelFrame.h"
#include "ScreenCoords.h"
#include "SpeedView.h"
#include "WidgetPanel.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QSettings>
#include <QTemporaryDir>
#include <QWindow>
#include <gtest/gtest.h>

namespace {

// A reparenting window manager can leave Qt believing the card sits at (0, 0) while it is
// where the program put it: the drag and the stored frame go by the program's placement.
TEST(Panel, DragGoesByTheProgramsPlacementAndIsStored) {
    QTemporaryDir dir; // never the user's settings
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    WidgetPanel panel(QRectF(1000, 700, 216, 92));
    panel.present();
    panel.windowHandle()->setPosition(0, 0); // what Qt would believe
    SpeedView& view = *panel.view();
    view.mouseDown({1050, 750});
    view.mouseDragged({950, 650});
    EXPECT_EQ(scrRectFromQt(QRectF(panel.geometry()), scrPrimaryHeight()),
              QRectF(900, 600, 216, 92));
    view.mouseUp({950, 650});
    EXPECT_EQ(QSettings(frameSettingsOrganization, frameSettingsApplication)
                  .value(frameSettingsKey)
                  .toString(),
              "{{900, 600}, {216, 92}}");

    // The model keeps the fraction; the window lands on whole pixels without growing.
    WidgetPanel fractional(QRectF(10.25, 20.5, 216, 92.4));
    EXPECT_EQ(fractional.geometry().size(), QSize(216, 92));
    EXPECT_EQ(panelWindowFrame(fractional), QRectF(10.25, 20.5, 216, 92));
}

TEST(Panel, MenuItemsOnlyReportAndLeaveNothingBehind) {
    SpeedView view;
    view.setHistoryItemShown(true);
    view.setLoginItemState([] { return true; });
    std::vector<QString> asked;
    QObject::connect(&view, &SpeedView::resetRequested, [&] { asked.push_back("reset"); });
    QObject::connect(&view, &SpeedView::historyRequested, [&] { asked.push_back("history"); });
    QObject::connect(&view, &SpeedView::loginItemToggled,
                     [&](bool on) { asked.push_back(on ? "login on" : "login off"); });
    QObject::connect(&view, &SpeedView::quitRequested, [&] { asked.push_back("quit"); });
    {
        const std::unique_ptr<QMenu> menu = view.buildMenu();
        const QList<QAction*> items = menu->actions();
        ASSERT_EQ(items.size(), 8);
        EXPECT_TRUE(items[5]->isChecked());
        // The quit key works while the menu is open, through the view.
        QAction* quit = items.back();
        EXPECT_EQ(quit->shortcutContext(), Qt::ApplicationShortcut);
        EXPECT_EQ(view.actions(), QList<QAction*>{quit});
        for (int i : {3, 4, 5, 7}) {
            items[i]->trigger();
        }
        QCoreApplication::processEvents(); // quitting waits for the menu's loop to unwind
    }
    EXPECT_EQ(asked, (std::vector<QString>{"reset", "history", "login off", "quit"}));
    EXPECT_TRUE(view.actions().isEmpty());
}

} // namespace
