#include "PanelPlacement.h"
#include "ScreenCoords.h"
#include "Startup.h"
#include "WidgetGeometry.h"

#include <gtest/gtest.h>

namespace {
const QRectF mac1440(0, 0, 1440, 900);
const std::vector<QRectF> oneScreen{mac1440};
} // namespace

TEST(PanelPlacement, DefaultCornerOfTheVisibleArea) {
    EXPECT_EQ(placePanelFrame(std::nullopt, mac1440, oneScreen), QRectF(1208, 796, 216, 92));
    const QRectF hd(0, 0, 1920, 1055);
    EXPECT_EQ(placePanelFrame(std::nullopt, hd, {hd}), QRectF(1688, 951, 216, 92));
    // A visible area that does not start at the origin (a panel on the left and bottom).
    const QRectF inset(48, 30, 1872, 1050);
    EXPECT_EQ(placeDefaultFrame(inset), QRectF(1688, 976, 216, 92));
    // No screen at all: a 1440 x 900 area at the origin is assumed.
    EXPECT_EQ(placePanelFrame(std::nullopt, std::nullopt, {}), QRectF(1208, 796, 216, 92));
}

TEST(PanelPlacement, OnlyTheStoredOriginIsUsedAndTheCardStaysWholeOnAScreen) {
    const QRectF corner(1208, 796, 216, 92);
    const auto placed = [](const char* text, const std::vector<QRectF>& screens = oneScreen) {
        return placePanelFrame(QString(text), screens.front(), screens);
    };
    EXPECT_EQ(placed("{{100, 200}, {216, 92}}"), QRectF(100, 200, 216, 92));
    EXPECT_EQ(placed("{{10.25, 20.5}, {216, 92}}"), QRectF(10.25, 20.5, 216, 92));
    // Whatever size is stored, the card keeps its own: a screen-sized card would swallow
    // every click, one of 11 x 1 could not be found, one of 30000 x 30000 exhausts memory.
    for (const char* text :
         {"{{0, 0}, {30000, 30000}}", "{{0, 0}, {1440, 900}}", "{{0, 0}, {1e300, -5}}"}) {
        EXPECT_EQ(placed(text), QRectF(0, 0, 216, 92)) << text;
    }
    EXPECT_EQ(placed("{{100, 100}, {11, 1}}"), QRectF(100, 100, 216, 92));
    EXPECT_EQ(placed("{{100, 200}, {5, 92}}"), QRectF(100, 200, 216, 92));
    // Text that is not a rectangle opens at the default corner, not at the origin.
    for (const char* text : {"not a rect", "", "{{}, {}}", "{{0, 0}, {nan, 92}}",
                             "{{inf, 0}, {216, 92}}", "{{40000, 100}, {216, 92}}"}) {
        EXPECT_EQ(placed(text), corner) << text;
    }
    // Partly outside: moved in the least distance, on the side it left.
    EXPECT_EQ(placed("{{-200, 850}, {216, 92}}"), QRectF(0, 808, 216, 92));
    EXPECT_EQ(placed("{{1400, -50}, {216, 92}}"), QRectF(1224, 0, 216, 92));
    // Off every screen (a monitor unplugged, a lowered resolution): the default corner.
    for (const char* text : {"{{2000, 300}, {216, 92}}", "{{1440, 796}, {216, 92}}",
                             "{{100, -92}, {216, 92}}", "{{-30000, 0}, {216, 92}}"}) {
        EXPECT_EQ(placed(text), corner) << text;
    }
    // Two screens: kept on the one it overlaps most, whole.
    const QRectF second(1440, 0, 1280, 1024);
    EXPECT_EQ(placed("{{2000, 300}, {216, 92}}", {mac1440, second}), QRectF(2000, 300, 216, 92));
    EXPECT_EQ(placed("{{1400, 300}, {216, 92}}", {mac1440, second}), QRectF(1440, 300, 216, 92));
    EXPECT_EQ(placed("{{1300, 300}, {216, 92}}", {mac1440, second}), QRectF(1224, 300, 216, 92));
    // Without any screen to check against, the origin is used as stored.
    EXPECT_EQ(placePanelFrame(QString("{{5000, 5000}, {9, 9}}"), std::nullopt, {}),
              QRectF(5000, 5000, 216, 92));
    // A visible area smaller than the card: its left and top edges stay on the area's.
    EXPECT_EQ(placeKeepInside(QRectF(50, 50, 216, 92), QRectF(0, 0, 100, 60)),
              QRectF(0, -32, 216, 92));
}

TEST(ScreenCoords, ConvertsBetweenBottomLeftAndTopLeftOrigins) {
    // The default corner on 1440 x 900 is 12 below the top edge in Qt's coordinates.
    EXPECT_EQ(scrRectToQt(QRectF(1208, 796, 216, 92), 900), QRectF(1208, 12, 216, 92));
    EXPECT_EQ(scrRectFromQt(QRectF(1208, 12, 216, 92), 900), QRectF(1208, 796, 216, 92));
    EXPECT_EQ(scrPointToQt(QPointF(10, 0), 900), QPointF(10, 900));
    EXPECT_EQ(scrPointFromQt(QPointF(10, 900), 900), QPointF(10, 0));
    // A screen above the primary one has a negative Qt y and a y above 900 here.
    EXPECT_EQ(scrRectFromQt(QRectF(0, -1080, 1920, 1080), 900), QRectF(0, 900, 1920, 1080));

    const std::vector<ScreenFrames> screens{{{0, 0, 1440, 900}, {0, 0, 1440, 876}},
                                            {{1440, 0, 1920, 1080}, {1440, 0, 1920, 1080}}};
    EXPECT_EQ(scrScreenForFrame({1400, 100, 216, 92}, screens)->frame, screens[1].frame);
    EXPECT_EQ(scrScreenForFrame({1300, 100, 216, 92}, screens)->frame, screens[0].frame);
    EXPECT_FALSE(scrScreenForFrame({5000, 100, 216, 92}, screens).has_value());
}

TEST(DragGeometry, FollowsThePointerWithVerticalLimitsOnly) {
    const QRectF visible(0, 0, 1440, 876);
    const QPointF offset(30, 40);
    // Free movement.
    EXPECT_EQ(geomDragOrigin({530, 440}, offset, 92, visible), QPointF(500, 400));
    // Below the bottom edge: held at the minimum y (also exactly at it).
    EXPECT_EQ(geomDragOrigin({530, 10}, offset, 92, visible), QPointF(500, 0));
    EXPECT_EQ(geomDragOrigin({530, 40}, offset, 92, visible), QPointF(500, 0));
    // Above the top: the top edge stays at the visible maximum y.
    EXPECT_EQ(geomDragOrigin({530, 900}, offset, 92, visible), QPointF(500, 784));
    // Sideways off the screen is allowed.
    EXPECT_EQ(geomDragOrigin({-400, 440}, offset, 92, visible), QPointF(-430, 400));
    EXPECT_EQ(geomDragOrigin({3000, 440}, offset, 92, visible), QPointF(2970, 400));
    // Taller than the visible area: the top limit wins.
    EXPECT_EQ(geomDragOrigin({530, 10}, offset, 1000, visible), QPointF(500, -124));
    // No screen: no limits.
    EXPECT_EQ(geomDragOrigin({530, -500}, offset, 92, std::nullopt), QPointF(500, -540));

    EXPECT_FALSE(geomDragExceedsThreshold({103, 97}, {100, 100}));
    EXPECT_TRUE(geomDragExceedsThreshold({103.5, 100}, {100, 100}));
    EXPECT_TRUE(geomDragExceedsThreshold({100, 96.9}, {100, 100}));
}

TEST(MenuGeometry, OpensBelowWhenThereIsRoomElseAboveAndStaysLeftOfTheEdge) {
    const QRectF visible(0, 0, 1440, 900);
    EXPECT_EQ(geomMenuHeight(6), 168);
    // The default corner: plenty of room below.
    EXPECT_EQ(geomMenuTopLeft({1208, 796, 216, 92}, visible, 6), QPointF(1208, 794));
    // Left edge closer than 220 to the right edge.
    EXPECT_EQ(geomMenuTopLeft({1300, 796, 216, 92}, visible, 6), QPointF(1220, 794));
    // Exactly 168 below still fits; 167 does not.
    EXPECT_EQ(geomMenuTopLeft({100, 168, 216, 92}, visible, 6), QPointF(100, 166));
    EXPECT_EQ(geomMenuTopLeft({100, 167, 216, 92}, visible, 6), QPointF(100, 261));
    // Eight items (history and login toggle) need 216.
    EXPECT_EQ(geomMenuTopLeft({100, 216, 216, 92}, visible, 8), QPointF(100, 214));
    EXPECT_EQ(geomMenuTopLeft({100, 215, 216, 92}, visible, 8), QPointF(100, 309));
    // Seven items need 192.
    EXPECT_EQ(geomMenuTopLeft({100, 180, 216, 92}, visible, 7), QPointF(100, 274));
    // A visible area that starts above the screen's bottom counts from there.
    EXPECT_EQ(geomMenuTopLeft({100, 200, 216, 92}, QRectF(0, 40, 1440, 836), 6), QPointF(100, 294));
}
