// The user's language: Chinese for a Chinese locale, English for every other, in the menu,
// the history window and the report; the figures are written the same either way.

#include "AllowanceDialog.h"
#include "AppTableDataSource.h"
#include "InterfaceMenu.h"
#include "SegmentedControl.h"
#include "SpeedView.h"
#include "TrafficChartView.h"
#include "TrafficHistoryWindow.h"
#include "Translations.h"

#include <QAction>
#include <QMenu>
#include <QSettings>
#include <QTableView>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QStringList menuTexts() {
    SpeedView view;
    SpeedStats stats;
    stats.peakUp = 1536;
    view.setStats(stats);
    view.setHistoryItemShown(true);
    view.setAllowanceItemShown(true);
    QStringList texts;
    const auto menu = view.buildMenu();
    for (QAction* a : menu->actions()) {
        if (!a->isSeparator()) {
            texts << a->text();
        }
    }
    return texts;
}

// The counted-links submenu's title and its links with their grey classes.
QStringList submenuTexts() {
    std::vector<LinkCounter::Shown> links(3);
    links[0].link = {1, "eth0", {LinkMedium::Ethernet, false, {}, "0000:00:1f.6"}};
    links[1].link = {2, "docker0", {LinkMedium::Ethernet, false, "bridge", {}}};
    links[2].link = {3, "ppp0", {LinkMedium::Ppp, false, {}, {}}};
    QMenu menu;
    addInterfaceSubmenu(menu, {}, links, [](const InterfaceChoice&) {});
    QStringList texts{menu.actions()[0]->text()};
    for (QAction* a : menu.actions()[0]->menu()->actions().mid(3)) {
        texts << a->text();
    }
    return texts;
}

struct WindowTexts {
    QString title, summary, range, chartEmpty, firstHeader;
};

WindowTexts windowTexts() {
    QTemporaryDir dir;
    TrafficRecorder::Config c;
    c.dataPath = dir.filePath("traffic.json");
    c.load = false;
    TrafficRecorder recorder(c);
    TrafficHistoryWindow w(recorder);
    w.setAllowanceSource([] { return AllowanceSettings{}; });
    w.setRecentDaysSource([] { return QStringList{"2026-03-04"}; });
    w.refresh();
    TrafficChartView empty;
    return {w.window()->windowTitle(), w.summaryText(), w.rangeSegmented()->label(2),
            empty.chartLayout().emptyText.text,
            w.tableView()->model()->headerData(0, Qt::Horizontal).toString()};
}

} // namespace

TEST(Translations, ChineseForChineseEnglishForEveryOtherLanguage) {
    EXPECT_FALSE(i18n::wantsEnglish({"zh-CN", "en-US"}));
    EXPECT_FALSE(i18n::wantsEnglish({"C", "zh-Hant-TW"}));
    EXPECT_TRUE(i18n::wantsEnglish({"en-US", "zh-CN"}));
    EXPECT_TRUE(i18n::wantsEnglish({"de-DE"}));
    EXPECT_TRUE(i18n::wantsEnglish({}));

    // Chinese: the program's own texts, exactly.
    EXPECT_FALSE(i18n::install({"zh-CN"}));
    EXPECT_EQ(menuTexts(), (QStringList{"峰值  ↑ 1.5 KB/s    ↓ 0 B/s", "累计  ↑ 0 B    ↓ 0 B",
                                        "重置统计", "流量统计…", "流量配额…", "退出羽蕨"}));
    EXPECT_EQ(submenuTexts(),
              (QStringList{"统计接口", "eth0\t物理", "docker0\t虚拟 bridge", "ppp0\t虚拟 ppp"}));
    WindowTexts zh = windowTexts();
    EXPECT_EQ(zh.title, "流量统计");
    EXPECT_EQ(zh.summary, "应用流量明细 · 2026-03-04    下载 0 B · 上传 0 B · 合计 0 B");
    EXPECT_EQ(zh.range, "12 个月");
    EXPECT_EQ(zh.chartEmpty, "暂无数据");
    EXPECT_EQ(zh.firstHeader, "应用");

    // English: every text translated, every figure as it was.
    EXPECT_TRUE(i18n::install({"en-US"}));
    EXPECT_EQ(menuTexts(), (QStringList{"Peak  ↑ 1.5 KB/s    ↓ 0 B/s", "Total  ↑ 0 B    ↓ 0 B",
                                        "Reset Statistics", "Traffic Statistics…",
                                        "Data Allowance…", "Quit Quillfern"}));
    EXPECT_EQ(submenuTexts(), (QStringList{"Counted links", "eth0\tphysical",
                                           "docker0\tvirtual bridge", "ppp0\tvirtual ppp"}));
    const WindowTexts en = windowTexts();
    EXPECT_EQ(en.title, "Traffic Statistics");
    EXPECT_EQ(en.summary, "Apps · 2026-03-04    Download 0 B · Upload 0 B · Total 0 B");
    EXPECT_EQ(en.range, "12 months");
    EXPECT_EQ(en.chartEmpty, "No data yet");
    EXPECT_EQ(en.firstHeader, "App");
    AllowanceDialog dialog(AllowanceSettings{});
    EXPECT_EQ(dialog.windowTitle(), "Data Allowance");

    // And back: nothing of the English stays behind.
    EXPECT_FALSE(i18n::install({"zh-CN"}));
    EXPECT_EQ(windowTexts().title, zh.title);
}
