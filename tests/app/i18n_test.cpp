// The user's language: Chinese for a Chinese locale, English for every other, in the menu,
// the history window and the allowance dialog; the figures are written the same either way.

#include "AllowanceDialog.h"
#include "CommandLine.h"
#include "HistoryWidgets.h"
#include "InterfaceMenu.h"
#include "Report.h"
#include "SegmentedControl.h"
#include "SpeedView.h"
#include "TrafficHistoryWindow.h"
#include "TrafficRecorder.h"
#include "Translations.h"

#include <QAction>
#include <QMenu>
#include <QRegularExpression>
#include <QTableView>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

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
