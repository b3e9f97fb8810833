// Where the card opens, from a stored frame text that may have been written by anyone, how
// it moves under the pointer, and what its menu asks for; and the user's language: Chinese
// for a Chinese locale, English for every other, in the menu, the history window and the
// allowance dialog, the figures written the same either way.

#include "AllowanceDialog.h"
#include "AppSettings.h"
#include "CommandLine.h"
#include "FrameString.h"
#include "HistoryWidgets.h"
#include "InterfaceMenu.h"
#include "PanelPlacement.h"
#include "Report.h"
#include "ScreenCoords.h"
#include "SegmentedControl.h"
#include "SpeedView.h"
#include "TrafficHistoryWindow.h"
#include "TrafficRecorder.h"
#include "Translations.h"
#include "WidgetPanel.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QSettings>
#include <QTableView>
#include <QTemporaryDir>
#include <QWindow>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>

namespace {

const QRectF mac1440(0, 0, 1440, 900);
const QRectF corner(1208, 796, 216, 92);

TEST(PanelPlacement, StoredOriginKeptWholeOnAScreenElseTheDefaultCorner) {

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

// A reparenting window manager can leave Qt believing the card sits at (0, 0) while it is
// where the program put it: the drag and the stored frame go by the program's placement.
TEST(Panel, DragGoesByTheProgramsPlacementAndIsStored) {
    QTemporaryDir dir; // never the user's settings
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    WidgetPanel panel(QRectF(1000, 700, 216, 92));
    panel.present();
    panel.windowHandle()->setPosition(0, 0); // what Qt would believe
    SpeedView& view = *panel.view();
    const auto mouse = [&view](QEvent::Type type, QPointF screenPoint) {
        const QPointF global = scrPointToQt(screenPoint, scrPrimaryHeight());
        const Qt::MouseButtons held =
            type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(type, QPointF(5, 5), global, Qt::LeftButton, held, Qt::NoModifier);
        QCoreApplication::sendEvent(&view, &event);
    };
    mouse(QEvent::MouseButtonPress, {1050, 750});
    mouse(QEvent::MouseMove, {950, 650});
    EXPECT_EQ(scrRectFromQt(QRectF(panel.geometry()), scrPrimaryHeight()),
              QRectF(900, 600, 216, 92));
    mouse(QEvent::MouseButtonRelease, {950, 650});
    EXPECT_EQ(AppSettings().value(settingsKeys::frame).toString(), "{{900, 600}, {216, 92}}");
}

TEST(Panel, MenuItemsOnlyReportAndLeaveNothingBehind) {
    SpeedView view;
    view.setLoginItemState([] { return true; });
    std::vector<QString> asked;
    QObject::connect(&view, &SpeedView::loginItemToggled,
                     [&](bool on) { asked.push_back(on ? "login on" : "login off"); });
    QObject::connect(&view, &SpeedView::quitRequested, [&] { asked.push_back("quit"); });
    {
        const std::unique_ptr<QMenu> menu = view.buildMenu();
        const QList<QAction*> items = menu->actions();
        // The quit key works while the menu is open, through the view.
        EXPECT_EQ(view.actions(), QList<QAction*>{items.back()});
        items[4]->trigger(); // the login item, ticked as the state says
        items.back()->trigger();
        EXPECT_TRUE(asked.size() == 1) << "quitting waits for the menu's loop to unwind";
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(asked, (std::vector<QString>{"login off", "quit"}));
    EXPECT_TRUE(view.actions().isEmpty());
}

// The menu (with the counted-links submenu and three links), the history window's title,
// summary, longest range and first column, and the allowance dialog's title.
QStringList texts() {
    SpeedView view;
    view.setAllowanceItemShown(true);
    std::vector<LinkCounter::Shown> links(3);
    links[0].link = {1, "eth0", {LinkMedium::Ethernet, false, {}, "0000:00:1f.6"}};
    links[1].link = {2, "docker0", {LinkMedium::Ethernet, false, "bridge", {}}};
    links[2].link = {3, "ppp0", {LinkMedium::Ppp, false, {}, {}}};
    view.addInterfaceMenu = [&](QMenu& m) { addInterfaceSubmenu(m, {}, links, [](auto&) {}); };
    QStringList out;
    const auto menu = view.buildMenu();
    for (QAction* a : menu->actions()) {
        out << a->text();
        for (QAction* sub : a->menu() ? a->menu()->actions().mid(3) : QList<QAction*>()) {
            out << sub->text();
        }
    }
    QTemporaryDir dir;
    TrafficRecorder::Config c;
    c.dataPath = dir.filePath("traffic.json");
    c.load = false;
    TrafficRecorder recorder(c);
    const RecorderHistorySource source(recorder);
    TrafficHistoryWindow w(source);
    w.setAllowanceSource([] { return AllowanceSettings{}; });
    w.refresh();
    // The summary names today; the rest of it is the translated text around the figures.
    const QString summary = w.findChild<ElidingLabel*>("summary")->text().replace(
        QRegularExpression("\\d{4}-\\d{2}-\\d{2}"), "2026-03-04");
    return out << w.windowTitle() << summary
               << w.findChild<SegmentedControl*>("rangeSelector")->label(2)
               << w.findChild<QTableView*>()->model()->headerData(0, Qt::Horizontal).toString()
               << AllowanceDialog(AllowanceSettings{}).windowTitle();
}

} // namespace

TEST(Translations, ChineseForChineseEnglishForEveryOtherLanguage) {
    EXPECT_FALSE(i18n::wantsEnglish({"C", "zh-Hant-TW", "en-US"}));
    EXPECT_TRUE(i18n::wantsEnglish({"en-US", "zh-CN"}));
    EXPECT_TRUE(i18n::wantsEnglish({}));

    // English: nothing left in Chinese, every figure as it was.
    EXPECT_TRUE(i18n::install({"en-US"}));
    const QString english = texts().join('\n');
    EXPECT_FALSE(english.contains(QRegularExpression("\\p{Han}"))) << english.toStdString();
    EXPECT_TRUE(english.contains("\nApps · 2026-03-04    Download 0 B · Upload 0 B · Total 0 B\n"));
    const QString englishHelp = cliHelpText();

    // And back: nothing of the English stays behind.
    EXPECT_FALSE(i18n::install({"zh-CN"}));
    EXPECT_EQ(texts().back(), "流量配额");

    // The help fits an 80-column terminal in either language, counted in terminal cells.
    for (const QString& line : (englishHelp + cliHelpText()).split('\n')) {
        EXPECT_LE(reportCells(line), 80) << line.toStdString();
    }
}
