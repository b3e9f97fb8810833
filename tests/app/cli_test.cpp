#include "CommandLine.h"
#include "Translations.h"

#include <gtest/gtest.h>

namespace {

TEST(CommandLine, HelpAndVersionEndTheRunAndQtOptionsReachTheDisplayCheck) {
    EXPECT_EQ(cliParse({}).mode, CliMode::Run);
    EXPECT_EQ(cliParse({"-platform", "xcb", "-h"}).mode, CliMode::Help);
    EXPECT_EQ(cliParse({"--version"}).mode, CliMode::Version);
    const CliRequest qt = cliParse({"-platform", "offscreen", "--display", ":3", "--reverse"});
    EXPECT_EQ(qt.mode, CliMode::Run);
    EXPECT_EQ(qt.platform, "offscreen");
    EXPECT_EQ(qt.display, ":3");
    EXPECT_TRUE(cliParse({"-platform"}).platform.isEmpty()); // no value to take
}

struct Probe {
    bool x11 = false, wayland = false, plugin = true;
    DisplayProbes probes() const {
        return {[this] { return x11; }, [this] { return wayland; }, [this] { return plugin; }};
    }
};

// Decided, and said, before any application object exists (none does in this test).
TEST(DisplayChoice, PicksXWhereItAnswersWaylandOtherwiseAndNamesWhatIsMissing) {
    ASSERT_TRUE(i18n::install({"en-US"}));
    // X answers: through X, also inside a Wayland session (XWayland keeps positions).
    const Probe both{true, true}, wayland{false, true}, noPlugin{false, true, false}, dead;
    EXPECT_EQ(dispChoose({":0", "wayland-0", {}}, both.probes()).platform, "xcb");
    EXPECT_EQ(dispChoose({":9", "wayland-1", {}}, wayland.probes()).platform, "wayland");
    EXPECT_TRUE(dispChoose({{}, "wayland-1", {}}, noPlugin.probes()).problem.contains("plugin"));

    const struct {
        DisplaySetting setting;
        const char* names;
    } cases[] = {{{}, "neither DISPLAY nor WAYLAND_DISPLAY is set"},
                 {{":7", {}, {}}, "DISPLAY=:7 does not answer"},
                 {{{}, "wayland-3", {}}, "WAYLAND_DISPLAY=wayland-3 does not answer"},
                 {{":7", "wayland-3", {}}, "neither the X server DISPLAY=:7"},
                 {{{}, {}, "xcb"}, "platform \"xcb\" needs an X server, but DISPLAY is not set"}};
    for (const auto& c : cases) {
        const QString problem = dispChoose(c.setting, dead.probes()).problem;
        EXPECT_TRUE(problem.contains(c.names)) << problem.toStdString();
        EXPECT_TRUE(problem.contains("DISPLAY=:0")) << "says how to run it";
    }
    // The user's platform is kept; the display it needs must answer, others are Qt's call.
    const auto leftToQt = [](const DisplaySetting& setting, const Probe& probe) {
        const DisplayChoice c = dispChoose(setting, probe.probes());
        return c.platform.isEmpty() && c.problem.isEmpty();
    };
    EXPECT_TRUE(leftToQt({{}, {}, "offscreen"}, dead));
    EXPECT_TRUE(leftToQt({":0", {}, "xcb:nograb"}, both));
    EXPECT_TRUE(leftToQt({{}, "w", "wayland;xcb"}, wayland));

    ASSERT_FALSE(i18n::install({"zh-CN"}));
    EXPECT_EQ(dispChoose({":7", {}, {}}, dead.probes()).problem,
              "没有显示器：X 服务器 DISPLAY=:7 没有应答；请在图形会话中运行，或把 DISPLAY "
              "设为正在运行的 X 服务器（如 DISPLAY=:0）");
}

} // namespace
