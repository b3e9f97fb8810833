// The "统计接口" submenu and the stored choice of counted links.

#include "InterfaceMenu.h"

#include <QAction>
#include <QFile>
#include <QMenu>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <optional>

namespace {

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
