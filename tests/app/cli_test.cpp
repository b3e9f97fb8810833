#include "CommandLine.h"
#include "Translations.h"

#include <gtest/gtest.h>

namespace {

TEST(CommandLine, HelpAndVersionEndTheRunAndQtOptionsReachTheDisplayCheck) {
    EXPECT_EQ(cliParse({"-platform", "xcb", "-h"}).mode, CliMode::Help);
    EXPECT_EQ(cliParse({"--version"}).mode, CliMode::Version);
    const CliRequest qt = cliParse({"-platform", "offscreen", "--display", ":3", "--reverse"});
    EXPECT_EQ(qt.mode, CliMode::Run);
    EXPECT_EQ(qt.platform, "offscreen");
    EXPECT_EQ(qt.display, ":3");
    EXPECT_TRUE(cliParse({"-platform"}).platform.isEmpty()); // no value to take
}

DisplayProbes probes(bool x11, bool wayland, bool plugin = true) {
    return {[=] { return x11; }, [=] { return wayland; }, [=] { return plugin; }};
}

// Decided, and said, before any application object exists (none does in this test).
TEST(DisplayChoice, PicksXWhereItAnswersWaylandOtherwiseAndNamesWhatIsMissing) {
    ASSERT_TRUE(i18n::install({"en-US"}));
    // X answers: through X, also inside a Wayland session (XWayland keeps positions).
    const DisplayProbes both = probes(true, true), wayland = probes(false, true),
                        dead = probes(false, false);
    EXPECT_EQ(dispChoose({":0", "wayland-0", {}}, both).platform, "xcb");
    EXPECT_EQ(dispChoose({":9", "wayland-1", {}}, wayland).platform, "wayland");
    EXPECT_TRUE(
        dispChoose({{}, "wayland-1", {}}, probes(false, true, false)).problem.contains("plugin"));

    const struct {
        DisplaySetting setting;
        const char* names;
    } cases[] = {
        {{}, "neither DISPLAY nor WAYLAND_DISPLAY is set"},
        {{":7", {}, {}}, "DISPLAY=:7 does not answer"},
        {{{}, "wayland-3", {}}, "WAYLAND_DISPLAY=wayland-3 does not answer"},
        {{":7", "wayland-3", {}}, "neither the X server DISPLAY=:7"},
        // The user's platform, with its options and fallbacks, needs its display.
        {{":7", {}, "xcb:nograb"}, "needs the X server DISPLAY=:7, which does not answer"},
        {{{}, {}, "wayland;xcb"},
         "a Wayland compositor, and none answers; or an X server, but DISPLAY is not set"}};
    for (const auto& c : cases) {
        const QString problem = dispChoose(c.setting, dead).problem;
        EXPECT_TRUE(problem.contains(c.names)) << problem.toStdString();
        EXPECT_TRUE(problem.contains("DISPLAY=:0")) << "says how to run it";
    }
    // Where it answers the platform is the user's; others are Qt's to judge.
    const std::pair<const char*, DisplayProbes> leftToQt[] = {
        {"xcb", both}, {"wayland", wayland}, {"offscreen", dead}};
    for (const auto& [platform, answering] : leftToQt) {
        const DisplayChoice c = dispChoose({":0", {}, platform}, answering);
        EXPECT_TRUE(c.platform.isEmpty() && c.problem.isEmpty()) << platform;
    }

    ASSERT_FALSE(i18n::install({"zh-CN"}));
    EXPECT_EQ(dispChoose({":7", {}, {}}, dead).problem,
              "没有显示器：X 服务器 DISPLAY=:7 没有应答；请在图形会话中运行，或把 DISPLAY "
              "设为正在运行的 X 服务器（如 DISPLAY=:0）");
}

} // namespace
