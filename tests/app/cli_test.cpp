#include "CommandLine.h"

#include <gtest/gtest.h>

namespace {

TEST(CommandLine, HelpAndVersionEndTheRunAndQtOptionsReachTheDisplayCheck) {
    EXPECT_EQ(cliParse({}).mode, CliMode::Run);
    EXPECT_EQ(cliParse({"--help"}).mode, CliMode::Help);
    EXPECT_EQ(cliParse({"-platform", "xcb", "-h"}).mode, CliMode::Help);
    EXPECT_EQ(cliParse({"--version"}).mode, CliMode::Version);
    EXPECT_TRUE(cliVersionText().startsWith("quillfern "));

    const CliRequest qt = cliParse({"-platform", "offscreen", "--display", ":3", "--reverse"});
    EXPECT_EQ(qt.mode, CliMode::Run);
    EXPECT_EQ(qt.platform, "offscreen");
    EXPECT_EQ(qt.display, ":3");
    // An option at the very end has no value to take.
    EXPECT_TRUE(cliParse({"-platform"}).platform.isEmpty());
}

struct Probe {
    bool x11 = false, wayland = false, plugin = true;
    DisplayProbes probes() const {
        return {[this] { return x11; }, [this] { return wayland; }, [this] { return plugin; }};
    }
};

TEST(DisplayChoice, PicksXWhereItAnswersWaylandOtherwiseAndNamesWhatIsMissing) {
    // X answers: through X, also inside a Wayland session (XWayland keeps positions).
    Probe both{true, true};
    EXPECT_EQ(dispChoose({":0", "wayland-0", {}}, both.probes()).platform, "xcb");
    EXPECT_EQ(dispChoose({":0", {}, {}}, both.probes()).platform, "xcb");

    // Only the compositor answers: Wayland, if Qt can speak it.
    Probe wayland{false, true};
    EXPECT_EQ(dispChoose({":9", "wayland-1", {}}, wayland.probes()).platform, "wayland");
    EXPECT_EQ(dispChoose({{}, "wayland-1", {}}, wayland.probes()).platform, "wayland");
    Probe noPlugin{false, true, false};
    const DisplayChoice missing = dispChoose({{}, "wayland-1", {}}, noPlugin.probes());
    EXPECT_TRUE(missing.problem.contains("plugin")) << missing.problem.toStdString();

    // Nothing answers: one line that names what is missing and how to run.
    Probe dead;
    const struct {
        DisplaySetting setting;
        const char* names;
    } cases[] = {{{}, "neither DISPLAY nor WAYLAND_DISPLAY is set"},
                 {{":7", {}, {}}, "DISPLAY=:7 does not answer"},
                 {{{}, "wayland-3", {}}, "WAYLAND_DISPLAY=wayland-3 does not answer"},
                 {{":7", "wayland-3", {}}, "neither the X server DISPLAY=:7"}};
    for (const auto& c : cases) {
        const DisplayChoice choice = dispChoose(c.setting, dead.probes());
        EXPECT_TRUE(choice.platform.isEmpty());
        EXPECT_TRUE(choice.problem.contains(c.names)) << choice.problem.toStdString();
        EXPECT_TRUE(choice.problem.contains("DISPLAY=:0")) << "says how to run it";
        EXPECT_FALSE(choice.problem.contains('\n'));
    }

    // The user's platform is kept; the display it needs must answer, others are Qt's call.
    EXPECT_EQ(dispChoose({{}, {}, "offscreen"}, dead.probes()).problem, "");
    EXPECT_EQ(dispChoose({{}, {}, "offscreen"}, dead.probes()).platform, "");
    EXPECT_EQ(dispChoose({":0", {}, "xcb:nograb"}, both.probes()).problem, "");
    EXPECT_EQ(dispChoose({{}, "w", "wayland;xcb"}, wayland.probes()).problem, "");
    const DisplayChoice chosen = dispChoose({{}, {}, "xcb"}, dead.probes());
    EXPECT_TRUE(chosen.problem.contains("DISPLAY is not set")) << chosen.problem.toStdString();
    EXPECT_TRUE(chosen.platform.isEmpty());
}

} // namespace
