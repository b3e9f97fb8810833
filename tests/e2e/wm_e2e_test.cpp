// The card under the window managers people run, and under none: each in its own Xvfb with
// its own D-Bus session, beside an activated xterm, driven by xdotool with real pointer and
// key events. One X server and manager per test; the checks follow one user's session.

#include "TestSupport.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

using namespace qftest;

namespace {

// i3 with a config of its own: no bar, no keys the test could hit.
constexpr const char* kI3 =
    "printf '# i3 config file (v4)\\nfont pango:DejaVu Sans 8\\n' >$HOME/i3 && exec i3 -c $HOME/i3";

struct Manager {
    std::string name; // also the test's name
    std::vector<std::string> argv;
    std::vector<std::string> env;
    std::string msg{}; // its own IPC client, which switches workspaces where EWMH does not
};

class WindowManagerE2E : public ::testing::TestWithParam<Manager> {
protected:
    void SetUp() override {
        const Manager& wm = GetParam();
        if (const std::string tool = missingProgram(
                {"Xvfb", "xdotool", "xprop", "xterm", "xsetroot", "xhost", "import",
                 managed() ? wm.argv[0] : "xterm", wm.msg.empty() ? "xterm" : wm.msg});
            !tool.empty())
            GTEST_SKIP() << tool << " is not installed (scripts/test installs it)";
        if (sway()) {
            startSway();
            if (IsSkipped() || HasFatalFailure())
                return;
        } else {
            m_x = std::make_unique<XServer>("", m_box.log("xvfb"));
            ASSERT_TRUE(m_x->ready()) << m_x->why();
            m_x->run({"xsetroot", "-solid", "#ff00ff"}); // not black like a corner left unshaped
        }
        m_box.setDisplay(m_x->display());
        if (managed()) {
            if (!m_box.startSessionBus())
                GTEST_SKIP() << "no D-Bus session for " << wm.name;
            for (const std::string& e : wm.env)
                m_box.addEnv(e);
            if (!sway())
                m_wm = m_box.start(wm.argv, "wm");
            // A manager announces itself on the root window once it manages the screen.
            const bool up = waitUntil([&] {
                return !m_wm->running() ||
                       xprop({"-root", "_NET_SUPPORTING_WM_CHECK"}).find("window id") !=
                           std::string::npos;
            });
            if (!up || !m_wm->running())
                GTEST_SKIP() << wm.name << " does not start under Xvfb here:\n"
                             << tail(m_box.log("wm"), 1500);
        }
        m_xterm = m_box.start({"xterm", "-geometry", "80x24+100+100"}, "xterm");
        m_xtermId = windowOf(*m_xterm);
        ASSERT_FALSE(m_xtermId.empty()) << "no xterm window";
        activate(m_xtermId);
    }

    void TearDown() override {
        if (HasFailure())
            std::cout << m_box.logs();
    }

    bool managed() const { return !GetParam().argv.empty(); }
    bool sway() const { return GetParam().name == "sway"; }
    // The card's corner shows what lies beside it (see-through with a compositor, cut away
    // without one), and its middle shows the card.
    bool cornerShowsBeneath(const Geometry& card) const {
        const std::string shot = (m_box.root() / "screen.png").string();
        m_x->run(sway()
                     ? std::vector<std::string>{"env", "WAYLAND_DISPLAY=" + m_wayland, "grim", shot}
                     : std::vector<std::string>{"import", "-window", "root", shot});
        char format[128];
        std::snprintf(format, sizeof format,
                      "%%[hex:u.p{%d,%d}] %%[hex:u.p{%d,%d}] %%[hex:u.p{%d,%d}]", card.x - 1,
                      card.y, card.x, card.y, card.x + card.width / 2, card.y + card.height / 2);
        std::istringstream seen(run({"convert", shot, "-format", format, "info:"}).out);
        std::string beside, corner, middle;
        seen >> beside >> corner >> middle;
        return !beside.empty() && corner == beside && middle != beside;
    }
    // sway refuses root and wants a runtime directory of its user's own. Its XWayland lets no
    // one else in unless told, which is done before sway says where its sockets are.
    void startSway() {
        const passwd* nobody = ::getpwnam("nobody");
        if (::getuid() == 0 && !nobody)
            GTEST_SKIP() << "no unprivileged user to run sway as";
        const fs::path dir = m_box.root() / "sway";
        fs::create_directory(dir);
        fs::permissions(m_box.root(), fs::perms::others_exec, fs::perm_options::add);
        std::ofstream(dir / "config")
            << "xwayland enable\noutput * resolution 1440x900 bg #ff00ff solid_color\nexec sh -c "
               "'xhost +local: && cd $XDG_RUNTIME_DIR && printenv DISPLAY SWAYSOCK "
               "WAYLAND_DISPLAY >env~ && mv env~ env'\n";
        ChildOptions o{.argv = {"sway", "-c", dir / "config"},
                       .env = {"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=" + dir.string(),
                               "XDG_RUNTIME_DIR=" + dir.string(), "WLR_BACKENDS=headless",
                               "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman"},
                       .clearEnv = true,
                       .logFile = m_box.log("wm")};
        if (::getuid() == 0) {
            ASSERT_EQ(::chown(dir.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
            o.uid = nobody->pw_uid;
            o.gid = nobody->pw_gid;
        }
        m_wm = std::make_unique<Child>(std::move(o));
        waitUntil([&] { return fs::exists(dir / "env") || !m_wm->running(); });
        std::istringstream env(slurp(dir / "env"));
        std::string display, wayland;
        if (!(env >> display >> m_swaySocket >> wayland))
            GTEST_SKIP() << "sway does not start with XWayland here:\n" << tail(m_box.log("wm"));
        m_x = std::make_unique<XServer>(XServer::Existing{display});
        m_wayland = (dir / wayland).string();
        m_box.addEnv("SWAYSOCK=" + m_swaySocket);
    }

    std::string xprop(std::vector<std::string> args) const {
        args.insert(args.begin(), "xprop");
        return m_x->run(args).out;
    }
    bool hasState(const std::string& id, const std::string& state) const {
        return xprop({"-id", id, "_NET_WM_STATE"}).find("_NET_WM_STATE_" + state) !=
               std::string::npos;
    }
    std::string xdoOut(std::vector<std::string> args) const {
        std::string out = m_x->xdo(std::move(args)).out;
        std::erase_if(out, ::isspace);
        return out;
    }
    void activate(const std::string& id) const {
        m_x->xdo({managed() ? "windowactivate" : "windowfocus", "--sync", id});
    }
    // Mapped and not hidden, as xdotool's --onlyvisible sees it.
    bool viewable(Child& owner, const std::string& id) const {
        return std::ranges::count(m_x->windowsOf(owner.pid()), id) > 0;
    }
    // A mapped window of a child other than those `known`, once there is one.
    std::string windowOf(Child& owner, const std::vector<std::string>& known = {}) const {
        std::string found;
        waitUntil([&] {
            for (const std::string& id : m_x->windowsOf(owner.pid()))
                if (std::find(known.begin(), known.end(), id) == known.end())
                    found = id;
            return !found.empty() || !owner.running();
        });
        return found;
    }
    std::string launch() {
        m_app = m_box.launch();
        return windowOf(*m_app);
    }
    std::string openMenu(const Geometry& at, const std::string& panel) const {
        m_x->click(at.x + 60, at.y + 40, 3);
        return windowOf(*m_app, {panel});
    }

    // What the card must be at every moment: out of taskbar and pager, not asking for
    // attention, and never holding the focus.
    void expectUnobtrusive(const std::string& panel, const std::string& moment) const {
        SCOPED_TRACE(moment);
        // sway's X11 bridge writes _NET_WM_STATE itself and drops the card's requests.
        EXPECT_TRUE(sway() || (hasState(panel, "SKIP_TASKBAR") && hasState(panel, "SKIP_PAGER")));
        // The manager may set and a moment later withdraw the mark; it must not stay.
        EXPECT_TRUE(waitUntil([&] { return !hasState(panel, "DEMANDS_ATTENTION"); }, 10s));
        EXPECT_NE(xdoOut({"getwindowfocus", "-f"}), panel);
        // i3 makes whatever is clicked its focused window (the keys stay with the terminal).
        EXPECT_TRUE(!managed() || xdoOut({"getactivewindow"}) != panel ||
                    (GetParam().name == "i3" && m_clicked))
            << "the card is active";
    }

    Sandbox m_box;
    std::unique_ptr<XServer> m_x;
    std::unique_ptr<Child> m_wm, m_xterm, m_app;
    std::string m_xtermId, m_swaySocket, m_wayland;
    bool m_clicked = false;
};

} // namespace

TEST_P(WindowManagerE2E, CardBehavesTheSameUnderEveryManager) {
    std::string panel = launch();
    ASSERT_FALSE(panel.empty()) << "no card appeared";
    // In the top-right corner, clear of both edges by a margin no wider than a finger.
    const Geometry corner = m_x->geometry(panel);
    const int rightGap = XServer::kWidth - corner.x - corner.width;
    EXPECT_TRUE(rightGap >= 0 && rightGap <= 24 && corner.y >= 0 && corner.y <= 24) << corner;
    expectUnobtrusive(panel, "after start");
    EXPECT_TRUE(waitUntil([&] { return cornerShowsBeneath(corner); })); // once painted

    // Above the xterm once that is activated again.
    activate(m_xtermId);
    if (managed() && !GetParam().msg.empty()) {
        // Tiling managers: workspaces of their own, where the card floats on each.
        const auto toWorkspace = [&](const char* n) { // sway's client needs its socket named
            return m_x->run({"env", "SWAYSOCK=" + m_swaySocket, GetParam().msg, "workspace", n})
                .out;
        };
        EXPECT_NE(toWorkspace("2").find("true"), std::string::npos);
        EXPECT_TRUE(waitUntil([&] { return cornerShowsBeneath(corner); })); // drawn there too
        toWorkspace("1");
        expectUnobtrusive(panel, "back on workspace 1");
        if (sway())
            return; // headless, it has no pointer for the drag and the menu
    } else if (managed()) {
        // Bottom to top, in decimal as xdotool gives them.
        std::string stacking =
            xprop({"-root", "-f", "_NET_CLIENT_LIST_STACKING", "32c", "_NET_CLIENT_LIST_STACKING"});
        stacking.back() = ',';
        const auto card = stacking.find(" " + panel + ","),
                   term = stacking.find(" " + m_xtermId + ",");
        EXPECT_TRUE(card != std::string::npos && card > term) << stacking;

        // On every workspace: the manager keeps it on all of them, and where it hides the
        // windows of another workspace (all but mutter) the card is still there.
        m_x->xdo({"set_num_desktops", "2"});
        EXPECT_TRUE(waitUntil([&] { return xdoOut({"get_num_desktops"}) == "2"; }));
        m_x->xdo({"set_desktop", "1"});
        EXPECT_TRUE(waitUntil([&] { return xdoOut({"get_desktop"}) == "1"; }));
        EXPECT_TRUE(waitUntil([&] {
            return xprop({"-id", panel, "_NET_WM_DESKTOP"}).find("4294967295") != std::string::npos;
        }));
        EXPECT_TRUE(viewable(*m_xterm, m_xtermId) || viewable(*m_app, panel));
        m_x->xdo({"set_desktop", "0"});
        EXPECT_TRUE(waitUntil([&] { return viewable(*m_xterm, m_xtermId); }));
        activate(m_xtermId);
    }

    // A real drag by (-100, +100) lands where the pointer took it (what is stored and how the
    // menu is placed are the panel suite's).
    const Geometry at{corner.x - 100, corner.y + 100, corner.width, corner.height};
    m_clicked = true;
    EXPECT_TRUE(m_x->drag(corner.x + 60, corner.y + 40, at.x + 60, at.y + 40));
    EXPECT_TRUE(waitUntil([&] { return m_x->geometry(panel) == at; })) << m_x->geometry(panel);
    expectUnobtrusive(panel, "after a drag");

    // The menu's second item opens the history window: an ordinary window in the taskbar,
    // which a manager activates; Esc hides it.
    const std::string menu = openMenu(at, panel);
    m_x->xdo({"key", "Down", "Down", "Return"});
    const std::string history = menu.empty() ? menu : windowOf(*m_app, {panel, menu});
    EXPECT_FALSE(history.empty()) << "no menu or no history window appeared";
    if (!history.empty()) {
        EXPECT_FALSE(hasState(history, "SKIP_TASKBAR"));
        if (managed())
            EXPECT_TRUE(waitUntil([&] { return xdoOut({"getactivewindow"}) == history; }));
        else
            m_x->xdo({"windowfocus", "--sync", history});
        m_x->xdo({"key", "Escape"});
        EXPECT_TRUE(waitUntil([&] { return !viewable(*m_app, history); }));
    }
    expectUnobtrusive(panel, "after the history window");

    // Quit from the menu; the next start opens where the card was left.
    ASSERT_FALSE(openMenu(at, panel).empty()) << "no menu to quit from";
    m_x->xdo({"key", "ctrl+q"});
    ASSERT_EQ(exitCode(m_app->waitExit().value_or(-1)), 0) << "quitting from the menu failed";
    EXPECT_EQ(m_x->geometry(launch()), at); // all zero: no card
}

INSTANTIATE_TEST_SUITE_P(
    Managers, WindowManagerE2E,
    ::testing::Values(Manager{"none", {}, {}},
                      Manager{"mutter", {"mutter", "--x11", "--replace", "--sm-disable"}, {}},
                      Manager{"xfwm4", {"xfwm4", "--replace", "--compositor=off"}, {}},
                      Manager{"openbox", {"openbox", "--replace", "--sm-disable"}, {}},
                      // Without compositing KWin needs no OpenGL from the virtual server.
                      Manager{"kwin", {"kwin_x11", "--replace"}, {"KWIN_COMPOSE=N"}},
                      Manager{"i3", {"sh", "-c", kI3}, {}, "i3-msg"},
                      // Wayland: the card and the terminal are clients of its XWayland.
                      Manager{"sway", {"sway"}, {}, "swaymsg"}),
    [](const ::testing::TestParamInfo<Manager>& info) { return info.param.name; });
