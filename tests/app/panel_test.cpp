// Where the card opens, from a stored frame text that may have been written by anyone, how
// it moves under the pointer, and what its menu asks for.

#include "AppSettings.h"
#include "FrameString.h"
#include "PanelFrame.h"
#include "PanelPlacement.h"
#include "ScreenCoords.h"
#include "SpeedView.h"
#include "WidgetGeometry.h"
#include "WidgetPanel.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QSettings>
#include <QTemporaryDir>
#include <QWindow>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>

namespace {

const QRectF mac1440(0, 0, 1440, 900);
const QRectF corner(1208, 796, 216, 92);

TEST(PanelPlacement, StoredOriginKeptWholeOnAScreenElseTheDefaultCorner) {
    EXPECT_EQ(placePanelFrame(std::nullopt, mac1440, {mac1440}), corner);
    EXPECT_EQ(placeDefaultFrame(QRectF(48, 30, 1872, 1050)), QRectF(1688, 976, 216, 92));

    const QRectF second(1440, 0, 1280, 1024);
    const struct {
        const char* text;
        QRectF expected;
        bool twoScreens = false;
    } cases[] = {
        {"{{10.25, 20.5}, {216, 92}}", {10.25, 20.5, 216, 92}},
        // The card keeps its own size whatever is stored.
        {"{{0, 0}, {1e300, -5}}", {0, 0, 216, 92}},
        // Not a rectangle, or an origin no window system has: the default corner.
        {"not a rect", corner},
        {"{{40000, 100}, {216, 92}}", corner},
        // Partly outside: moved in the least distance; off every screen: the corner.
        {"{{-200, 850}, {216, 92}}", {0, 808, 216, 92}},
        {"{{2000, 300}, {216, 92}}", corner},
        // Two screens: kept whole on the one it overlaps most.
        {"{{2000, 300}, {216, 92}}", {2000, 300, 216, 92}, true},
        {"{{1300, 300}, {216, 92}}", {1224, 300, 216, 92}, true},
    };
    for (const auto& c : cases) {
        const std::vector<QRectF> screens =
            c.twoScreens ? std::vector<QRectF>{mac1440, second} : std::vector<QRectF>{mac1440};
        EXPECT_EQ(placePanelFrame(QString(c.text), mac1440, screens), c.expected) << c.text;
    }
}

TEST(FrameString, ShortestTextReadsBackBitForBitAndHostileTextIsNoRectangle) {
    EXPECT_EQ(frameToString({-40.5, 0.1, 300, 92.25}), "{{-40.5, 0.1}, {300, 92.25}}");
    // Values a fixed number of digits would round: saving and restoring must not move the card.
    const QRectF r(-1.0 / 3, 0.1 + 0.2, 5e-324, std::nextafter(92.0, 0.0));
    const QRectF back = frameFromString(frameToString(r));
    EXPECT_EQ(std::memcmp(&r, &back, sizeof r), 0) << frameToString(r).toStdString();

    // Written by hand: any number form, any separators.
    EXPECT_EQ(frameReadString(u" {{-1.5e2 +2}, .5 92."), QRectF(-150, 2, 0.5, 92));
    for (const QString& text : {QString(), QString("{{0, 0}, {inf, 92}}"),
                                QString("{{0, 0}, {1e999, 92}}"), QString(1 << 20, u'9')}) {
        EXPECT_EQ(frameReadString(text), std::nullopt) << text.left(40).toStdString();
    }
}

TEST(PanelGeometry, DragIsHeldVerticallyOnlyAndTheMenuOpensBelowWhenItFits) {
    const QRectF visible(0, 0, 1440, 876);
    const QPointF offset(30, 40);
    EXPECT_EQ(geomDragOrigin({530, 10}, offset, 92, visible), QPointF(500, 0));
    EXPECT_EQ(geomDragOrigin({530, 900}, offset, 92, visible), QPointF(500, 784));
    EXPECT_FALSE(geomDragExceedsThreshold({103, 97}, {100, 100}));
    EXPECT_TRUE(geomDragExceedsThreshold({100, 96.9}, {100, 100}));

    // Six items need 168 below the card; the menu never passes 220 from the right edge.
    EXPECT_EQ(geomMenuTopLeft({1300, 796, 216, 92}, mac1440, 6), QPointF(1220, 794));
    EXPECT_EQ(geomMenuTopLeft({100, 168, 216, 92}, mac1440, 6), QPointF(100, 166));
    EXPECT_EQ(geomMenuTopLeft({100, 167, 216, 92}, mac1440, 6), QPointF(100, 261));
}

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
    EXPECT_EQ(AppSettings().value(settingsKeys::frame).toString(), "{{900, 600}, {216, 92}}");

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
