// The real program in a real X server: Xvfb at 1440 x 900 without a window manager, driven
// by xdotool with real pointer and key events, in a sandbox of its own.

#include "TestSupport.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>

using namespace qftest;

namespace {

const Geometry kCorner{1208, 12, 216, 92};

class PanelE2E : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string tool = missingProgram({"Xvfb", "xdotool"}); !tool.empty())
            GTEST_SKIP() << tool << " is not installed; end-to-end tests need it";
        ASSERT_TRUE(fs::exists(programPath())) << "the program is not built";
        m_x = std::make_unique<XServer>("1440x900x24", "", m_box.log("xvfb"));
        ASSERT_TRUE(m_x->ready()) << m_x->why();
        m_box.setDisplay(m_x->display());
        m_xdo = std::make_unique<Xdo>(m_x->display());
    }

    void TearDown() override {
        if (HasFailure())
            std::cout << m_box.logs();
    }

    // Starts the program and waits for its panel; returns the panel's window id.
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

    Geometry geometryOf(const std::string& window) const {
        return m_xdo->geometry(window).value_or(Geometry{});
    }

    void storeFrame(const std::string& text) {
        fs::create_directories(m_box.configFile().parent_path());
        std::ofstream(m_box.configFile()) << "[General]\nwidgetFrame=\"" << text << "\"\n";
    }

    std::string storedFrame() const {
        std::ifstream in(m_box.configFile());
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("widgetFrame=", 0) == 0) {
                std::string value = line.substr(12);
                if (value.size() >= 2 && value.front() == '"')
                    value = value.substr(1, value.size() - 2);
                return value;
            }
        }
        return {};
    }

    // Right-clicks the panel and waits for another window of the program (the menu).
    std::string openMenu(const std::string& panelId, const Geometry& panel) {
        m_xdo->click(panel.x + 60, panel.y + 40, 3);
        std::string menu;
        waitUntil([&] {
            for (const std::string& id : m_xdo->windowsOf(m_app->pid()))
                if (id != panelId)
                    menu = id;
            return !menu.empty();
        });
        return menu;
    }

    // Quits by choosing the last item, or by its shortcut while the menu is open.
    std::string quitThroughMenu(const std::string& panelId, const Geometry& panel,
                                const std::vector<std::string>& keys = {"Up", "Return"}) {
        if (!openMenu(panelId, panel).empty())
            m_xdo->key(keys);
        const auto status = m_app->waitExit();
        return status ? describeStatus(*status) : "still running";
    }

    Sandbox m_box;
    std::unique_ptr<XServer> m_x;
    std::unique_ptr<Xdo> m_xdo;
    std::unique_ptr<Child> m_app;
};

} // namespace

TEST_F(PanelE2E, OpensAtTheCornerMovesByDraggingAndReopensThere) {
    std::string panel = launch();
    ASSERT_FALSE(panel.empty()) << "no panel window appeared";
    EXPECT_EQ(geometryOf(panel), kCorner);
    if (!findProgram("xprop").empty()) {
        const std::string props = run({"env", "DISPLAY=" + m_x->display(), "xprop", "-id", panel,
                                       "_NET_WM_STATE", "_NET_WM_DESKTOP"})
                                      .out;
        EXPECT_NE(props.find("_NET_WM_STATE_STICKY"), std::string::npos) << props;
        EXPECT_NE(props.find("_NET_WM_STATE_ABOVE"), std::string::npos) << props;
        EXPECT_NE(props.find("4294967295"), std::string::npos) << props;
    }
    EXPECT_TRUE(storedFrame().empty());

    // Pressed at (1268, 52) and dragged to (1068, 252): the panel follows by (-200, +200).
    ASSERT_TRUE(m_xdo->drag(1268, 52, 1068, 252));
    const Geometry moved{1008, 212, 216, 92};
    EXPECT_TRUE(waitUntil([&] { return geometryOf(panel) == moved; })) << geometryOf(panel);
    // Bottom-left origin, y up: 900 - (212 + 92) = 596.
    EXPECT_TRUE(waitUntil([&] { return storedFrame() == "{{1008, 596}, {216, 92}}"; }))
        << storedFrame();
    EXPECT_EQ(quitThroughMenu(panel, moved), "exited with 0");

    panel = launch();
    ASSERT_FALSE(panel.empty());
    EXPECT_EQ(geometryOf(panel), moved);
    EXPECT_EQ(quitThroughMenu(panel, moved), "exited with 0");
}

TEST_F(PanelE2E, DragStopsAtTheTopOfTheScreen) {
    const std::string panel = launch();
    ASSERT_FALSE(panel.empty());
    ASSERT_TRUE(m_xdo->drag(1268, 52, 1200, 0));
    const Geometry top{1140, 0, 216, 92};
    EXPECT_TRUE(waitUntil([&] { return geometryOf(panel) == top; })) << geometryOf(panel);
    EXPECT_TRUE(waitUntil([&] { return storedFrame() == "{{1140, 808}, {216, 92}}"; }))
        << storedFrame();
    EXPECT_EQ(quitThroughMenu(panel, top, {"ctrl+q"}), "exited with 0");
}

TEST_F(PanelE2E, StoredFrameOffEveryScreenOpensAtTheCorner) {
    storeFrame("{{3000, 300}, {216, 92}}");
    std::string panel = launch();
    ASSERT_FALSE(panel.empty());
    EXPECT_EQ(geometryOf(panel), kCorner);
    EXPECT_EQ(quitThroughMenu(panel, kCorner), "exited with 0");

    storeFrame("{{100, 200}, {300, 92}}");
    panel = launch();
    ASSERT_FALSE(panel.empty());
    const Geometry wide{100, 608, 300, 92};
    EXPECT_EQ(geometryOf(panel), wide);
    EXPECT_EQ(quitThroughMenu(panel, wide), "exited with 0");
}

TEST_F(PanelE2E, ContextMenuOpensBelowTheWidgetResetsAndQuits) {
    const std::string panel = launch();
    ASSERT_FALSE(panel.empty());
    const std::string menu = openMenu(panel, kCorner);
    ASSERT_FALSE(menu.empty()) << "no menu window appeared";
    const Geometry m = geometryOf(menu);
    // Two below the widget's bottom edge; it may be pushed left to stay on the screen.
    EXPECT_EQ(m.y, kCorner.y + kCorner.height + 2) << m;
    EXPECT_LE(m.x, kCorner.x) << m;
    EXPECT_LE(m.x + m.width, 1440) << m;
    EXPECT_GT(m.height, 4 * 16) << m;
    EXPECT_GT(m.width, 150) << m;

    // Down skips the two disabled lines and lands on reset, which closes the menu only.
    m_xdo->key({"Down", "Return"});
    EXPECT_TRUE(waitUntil([&] { return m_xdo->windowsOf(m_app->pid()).size() == 1; }));
    EXPECT_TRUE(m_app->running()) << "reset must not end the program";
    EXPECT_EQ(quitThroughMenu(panel, kCorner), "exited with 0");
}
