// The card under the window managers people run, and under none: each in its own Xvfb with
// its own D-Bus session, beside an activated xterm, driven by xdotool with real pointer and
// key events. One X server and manager per test; the checks follow one user's session.

#include "TestSupport.h"

#include <algorithm>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>

using namespace qftest;

namespace {

struct Manager {
    std::string name; // also the test's name
    std::vector<std::string> argv;
    std::vector<std::string> env;
};

std::ostream& operator<<(std::ostream& os, const Manager& m) {
    return os << m.name;
}

const Geometry kCorner{1208, 12, 216, 92};

class WindowManagerE2E : public ::testing::TestWithParam<Manager> {
protected:
    void SetUp() override {
        const Manager& wm = GetParam();
        std::vector<std::string> tools{"Xvfb", "xdotool", "xprop", "xterm"};
        if (managed()) {
            tools.push_back(wm.argv.front());
        }
        if (const std::string tool = missingProgram(tools); !tool.empty()) {
            GTEST_SKIP() << tool << " is not installed";
        }
        ASSERT_TRUE(fs::exists(programPath())) << "the program is not built";
        m_x = std::make_unique<XServer>("1440x900x24", "", m_box.log("xvfb"));
        ASSERT_TRUE(m_x->ready()) << m_x->why();
        m_box.setDisplay(m_x->display());
        m_xdo = std::make_unique<Xdo>(m_x->display());
        if (managed()) {
            if (!m_box.startSessionBus()) {
                GTEST_SKIP() << "no D-Bus session for " << wm.name;
            }
            for (const std::string& e : wm.env) {
                m_box.addEnv(e);
            }
            m_wm = m_box.start(wm.argv, "wm");
            // A manager announces itself on the root window once it manages the screen.
            const bool up = waitUntil([&] {
                return !m_wm->running() ||
                       xprop({"-root", "_NET_SUPPORTING_WM_CHECK"}).find("window id") !=
                           std::string::npos;
            });
            if (!up || !m_wm->running()) {
                GTEST_SKIP() << wm.name << " does not start under Xvfb here:\n"
                             << tail(m_box.log("wm"), 1500);
            }
        }
        m_xterm = m_box.start({"xterm", "-geometry", "80x24+100+100"}, "xterm");
        ASSERT_TRUE(waitUntil([&] { return !(m_xtermId = windowOf(m_xterm->pid())).empty(); }))
            << "no xterm window";
        activate(m_xtermId);
    }

    void TearDown() override {
        if (HasFailure()) {
            std::cout << m_box.logs();
        }
    }

    bool managed() const { return !GetParam().argv.empty(); }

    // The X state read through these has no event to wait on from here, so waits on it
    // re-ask (waitUntil without a directory).
    std::string xprop(std::vector<std::string> args) const {
        ChildOptions o;
        o.argv = {"xprop"};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.env = {"DISPLAY=" + m_x->display()};
        return run(std::move(o)).out;
    }
    bool hasState(const std::string& id, const std::string& state) const {
        return xprop({"-id", id, "_NET_WM_STATE"}).find("_NET_WM_STATE_" + state) !=
               std::string::npos;
    }
    std::string xdoOut(std::vector<std::string> args) const {
        std::string out = m_xdo->run(std::move(args)).out;
        std::erase_if(out, ::isspace);
        return out;
    }
    std::string windowOf(pid_t pid) const {
        const auto ids = m_xdo->windowsOf(pid);
        return ids.empty() ? std::string() : ids.front();
    }
    void activate(const std::string& id) const {
        m_xdo->run({managed() ? "windowactivate" : "windowfocus", "--sync", id});
    }
    // Mapped and not hidden, as xdotool's --onlyvisible sees it.
    bool viewable(Child& owner, const std::string& id) const {
        const auto ids = m_xdo->windowsOf(owner.pid());
        return std::find(ids.begin(), ids.end(), id) != ids.end();
    }
    Geometry geometryOf(const std::string& id) const {
        return m_xdo->geometry(id).value_or(Geometry{});
    }

    std::string launch() {
        m_app = m_box.launch();
        std::string panel;
        waitUntil([&] {
            const auto ids = m_xdo->search(
                {"--all", "--pid", std::to_string(m_app->pid()), "--name", "^Quillfern$"});
            panel = ids.empty() ? "" : ids.front();
            return !panel.empty() || !m_app->running();
        });
        return panel;
    }
    std::string quit(bool fromMenu) {
        if (fromMenu) {
            m_xdo->key({"ctrl+q"});
        } else {
            m_app->signal(SIGTERM);
        }
        const auto status = m_app->waitExit();
        return status ? describeStatus(*status) : "still running";
    }
    // A window of the program other than those given, once one is mapped.
    std::string newWindow(const std::vector<std::string>& known) const {
        std::string found;
        waitUntil([&] {
            for (const std::string& id : m_xdo->windowsOf(m_app->pid())) {
                if (std::find(known.begin(), known.end(), id) == known.end()) {
                    found = id;
                }
            }
            return !found.empty();
        });
        return found;
    }
    std::string openMenu(const Geometry& at, const std::vector<std::string>& known) const {
        m_xdo->click(at.x + 60, at.y + 40, 3);
        return newWindow(known);
    }
    bool gone(const std::string& id) const {
        return waitUntil([&] { return !viewable(*m_app, id); });
    }

    // What the card must be at every moment: out of taskbar and pager, not asking for
    // attention, and never holding the focus.
    void expectUnobtrusive(const std::string& panel, const std::string& moment) const {
        SCOPED_TRACE(moment);
        EXPECT_TRUE(hasState(panel, "SKIP_TASKBAR") && hasState(panel, "SKIP_PAGER"));
        // The manager may set and a moment later withdraw the mark; it must not stay.
        EXPECT_TRUE(waitUntil([&] { return !hasState(panel, "DEMANDS_ATTENTION"); }, 10s));
        EXPECT_NE(xdoOut({"getwindowfocus", "-f"}), panel);
        if (managed()) {
            EXPECT_NE(xdoOut({"getactivewindow"}), panel);
        }
    }

    Sandbox m_box;
    std::unique_ptr<XServer> m_x;
    std::unique_ptr<Xdo> m_xdo;
    std::unique_ptr<Child> m_wm, m_xterm, m_app;
    std::string m_xtermId;
};

} // namespace

TEST_P(WindowManagerE2E, CardBehavesTheSameUnderEveryManager) {
    std::string panel = launch();
    ASSERT_FALSE(panel.empty()) << "no card appeared";
    EXPECT_EQ(geometryOf(panel), kCorner);
    expectUnobtrusive(panel, "after start");

    // Above the xterm once that is activated again.
    activate(m_xtermId);
    if (managed()) {
        const std::string stacking = xprop({"-root", "_NET_CLIENT_LIST_STACKING"});
        std::vector<std::string> order; // bottom to top
        for (std::size_t at = stacking.find("0x"); at != std::string::npos;
             at = stacking.find("0x", at + 2)) {
            order.push_back(std::to_string(std::stoul(stacking.substr(at), nullptr, 16)));
        }
        const auto card = std::find(order.begin(), order.end(), panel);
        const auto term = std::find(order.begin(), order.end(), m_xtermId);
        EXPECT_TRUE(card != order.end() && term != order.end() && card > term) << stacking;

        // On every workspace: the manager keeps it on all of them, and where it hides the
        // windows of another workspace (all but mutter) the card is still there.
        m_xdo->run({"set_num_desktops", "2"});
        ASSERT_TRUE(waitUntil([&] { return xdoOut({"get_num_desktops"}) == "2"; }));
        m_xdo->run({"set_desktop", "1"});
        ASSERT_TRUE(waitUntil([&] { return xdoOut({"get_desktop"}) == "1"; }));
        EXPECT_TRUE(waitUntil([&] {
            return xprop({"-id", panel, "_NET_WM_DESKTOP"}).find("4294967295") != std::string::npos;
        }));
        if (!viewable(*m_xterm, m_xtermId)) {
            EXPECT_TRUE(viewable(*m_app, panel));
        }
        m_xdo->run({"set_desktop", "0"});
        EXPECT_TRUE(waitUntil([&] { return viewable(*m_xterm, m_xtermId); }));
        activate(m_xtermId);
    }

    // A real drag by (-100, +100) lands where the pointer took it, and is stored.
    ASSERT_TRUE(m_xdo->drag(kCorner.x + 60, kCorner.y + 40, kCorner.x - 40, kCorner.y + 140));
    const Geometry moved{1108, 112, 216, 92};
    EXPECT_TRUE(waitUntil([&] { return geometryOf(panel) == moved; })) << geometryOf(panel);
    const auto stored = [&] { return slurp(m_box.configFile()); };
    EXPECT_TRUE(waitUntil(
        [&] {
            return stored().find("widgetFrame=\"{{1108, 696}, {216, 92}}\"") != std::string::npos;
        },
        30s, m_box.configFile().parent_path()))
        << stored();
    expectUnobtrusive(panel, "after a drag");

    // The menu opens 2 px below the card and leaves without a trace.
    const std::string menu = openMenu(moved, {panel});
    ASSERT_FALSE(menu.empty()) << "no menu appeared";
    const Geometry m = geometryOf(menu);
    EXPECT_EQ(m.y, moved.y + moved.height + 2) << m;
    EXPECT_EQ(m.x, moved.x) << m;
    m_xdo->key({"Escape"});
    EXPECT_TRUE(gone(menu));
    expectUnobtrusive(panel, "after the menu");

    // The history window, from the menu (reset, then history): an ordinary window, decorated,
    // centred on the screen, in the taskbar, and active.
    const std::string historyMenu = openMenu(moved, {panel});
    ASSERT_FALSE(historyMenu.empty());
    m_xdo->key({"Down", "Down", "Return"});
    const std::string history = newWindow({panel, historyMenu});
    ASSERT_FALSE(history.empty()) << "no history window appeared";
    EXPECT_TRUE(gone(historyMenu));
    waitUntil([&] { return geometryOf(history).width >= 520; });
    const Geometry h = geometryOf(history);
    EXPECT_NEAR(h.x + h.width / 2, 720, 40) << h;
    EXPECT_NEAR(h.y + h.height / 2, 450, 60) << h;
    EXPECT_FALSE(hasState(history, "SKIP_TASKBAR"));
    if (managed()) {
        EXPECT_TRUE(waitUntil([&] { return xdoOut({"getactivewindow"}) == history; }));
        const std::string extents = xprop({"-id", history, "_NET_FRAME_EXTENTS"});
        int left = 0, right = 0, top = 0;
        EXPECT_EQ(std::sscanf(extents.c_str(), "%*[^=]= %d, %d, %d", &left, &right, &top), 3)
            << extents;
        EXPECT_GT(top, 0) << "not decorated: " << extents;
    } else {
        m_xdo->run({"windowfocus", "--sync", history});
    }
    m_xdo->key({"Escape"});
    EXPECT_TRUE(gone(history));
    EXPECT_TRUE(m_app->running());
    expectUnobtrusive(panel, "after the history window");

    // Quit from the menu; the next start opens where the card was left.
    ASSERT_FALSE(openMenu(moved, {panel}).empty());
    EXPECT_EQ(quit(true), "exited with 0");
    panel = launch();
    ASSERT_FALSE(panel.empty());
    EXPECT_EQ(geometryOf(panel), moved);
    EXPECT_EQ(quit(false), "exited with 0");

    // A stored frame goes through placement: never larger than the card, never off screen.
    const std::pair<const char*, Geometry> hostile[] = {
        {"{{0, 0}, {30000, 30000}}", {0, 808, 216, 92}},
        {"{{5000, -4000}, {216, 92}}", kCorner},
    };
    for (const auto& [text, expected] : hostile) {
        SCOPED_TRACE(text);
        std::ofstream(m_box.configFile()) << "[General]\nwidgetFrame=\"" << text << "\"\n";
        panel = launch();
        ASSERT_FALSE(panel.empty());
        EXPECT_EQ(geometryOf(panel), expected);
        EXPECT_EQ(quit(false), "exited with 0");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Managers, WindowManagerE2E,
    ::testing::Values(Manager{"none", {}, {}},
                      Manager{"mutter", {"mutter", "--x11", "--replace", "--sm-disable"}, {}},
                      Manager{"xfwm4", {"xfwm4", "--replace", "--compositor=off"}, {}},
                      Manager{"openbox", {"openbox", "--replace", "--sm-disable"}, {}},
                      // Without compositing KWin needs no OpenGL from the virtual server.
                      Manager{"kwin", {"kwin_x11", "--replace"}, {"KWIN_COMPOSE=N"}}),
    [](const ::testing::TestParamInfo<Manager>& info) { return info.param.name; });
