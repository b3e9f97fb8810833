// The real program in a real X server: Xvfb at 1440 x 900 without a window manager, driven
// by xdotool with real pointer and key events. Every run gets its own HOME and XDG
// directories, so nothing of the user's is read or written.

#include "FrameString.h"

#include <QRectF>
#include <QString>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

bool onPath(const std::string& tool) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (!dir.empty() && access((dir + "/" + tool).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

std::string programPath() {
    const char* dir = std::getenv("QUILLFERN_BINARY_DIR");
    return std::string(dir && *dir ? dir : QUILLFERN_BINARY_DIR) + "/src/app/quillfern";
}

// Starts argv with the given extra environment; returns the child's pid.
pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            int fd3 = -1) {
    const pid_t pid = fork();
    if (pid == 0) {
        for (const auto& [k, v] : env) {
            if (v.empty()) {
                unsetenv(k.c_str());
            } else {
                setenv(k.c_str(), v.c_str(), 1);
            }
        }
        if (fd3 >= 0) {
            dup2(fd3, 3);
        }
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDOUT_FILENO);
        dup2(devnull, STDERR_FILENO);
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// Waits up to `limit` for the child to end; its exit status, or none if it still runs.
std::optional<int> waitExit(pid_t pid, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    do {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < end);
    return std::nullopt;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return condition();
}

struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Geometry&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Geometry& g) {
    return os << g.width << "x" << g.height << "+" << g.x << "+" << g.y;
}

class PanelE2E : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"Xvfb", "xdotool"}) {
            if (!onPath(tool)) {
                GTEST_SKIP() << tool << " is not installed; end-to-end tests need it";
            }
        }
        if (access(programPath().c_str(), X_OK) != 0) {
            GTEST_SKIP() << "the program is not built at " << programPath();
        }
        char tmpl[] = "/tmp/quillfern-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        home = tmpl;
        for (const char* sub : {"config", "data", "cache", "runtime"}) {
            fs::create_directories(home / sub);
        }
        fs::permissions(home / "runtime", fs::perms::owner_all, fs::perm_options::replace);

        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        xvfb = spawn({"Xvfb", "-displayfd", "3", "-screen", "0", "1440x900x24", "-nolisten", "tcp",
                      "-noreset"},
                     {}, fds[1]);
        close(fds[1]);
        std::string number;
        char c = 0;
        while (read(fds[0], &c, 1) == 1 && c != '\n') {
            number += c;
        }
        close(fds[0]);
        ASSERT_FALSE(number.empty()) << "Xvfb did not start";
        display = ":" + number;
    }

    void TearDown() override {
        if (app > 0) {
            kill(app, SIGKILL);
            waitExit(app, 2s);
        }
        if (xvfb > 0) {
            kill(xvfb, SIGTERM);
            if (!waitExit(xvfb, 3s)) {
                kill(xvfb, SIGKILL);
                waitExit(xvfb, 2s);
            }
        }
        if (!home.empty()) {
            fs::remove_all(home);
        }
    }

    std::map<std::string, std::string> environment() const {
        return {{"DISPLAY", display},
                {"HOME", home.string()},
                {"XDG_CONFIG_HOME", (home / "config").string()},
                {"XDG_DATA_HOME", (home / "data").string()},
                {"XDG_CACHE_HOME", (home / "cache").string()},
                {"XDG_RUNTIME_DIR", (home / "runtime").string()},
                {"QT_QPA_PLATFORM", "xcb"},
                {"WAYLAND_DISPLAY", ""}};
    }

    std::string run(const std::string& args) const {
        const std::string cmd = "DISPLAY=" + display + " " + args + " 2>/dev/null";
        std::string out;
        if (FILE* p = popen(cmd.c_str(), "r")) {
            char buf[256];
            while (fgets(buf, sizeof buf, p)) {
                out += buf;
            }
            pclose(p);
        }
        return out;
    }

    std::vector<std::string> visibleWindows() const {
        std::stringstream out(run("xdotool search --onlyvisible --pid " + std::to_string(app)));
        std::vector<std::string> ids;
        for (std::string id; out >> id;) {
            ids.push_back(id);
        }
        return ids;
    }

    Geometry geometryOf(const std::string& window) const {
        std::stringstream out(run("xdotool getwindowgeometry --shell " + window));
        Geometry g;
        for (std::string line; std::getline(out, line);) {
            const auto eq = line.find('=');
            if (eq == std::string::npos) {
                continue;
            }
            const std::string key = line.substr(0, eq);
            const int value = std::atoi(line.c_str() + eq + 1);
            if (key == "X") {
                g.x = value;
            } else if (key == "Y") {
                g.y = value;
            } else if (key == "WIDTH") {
                g.width = value;
            } else if (key == "HEIGHT") {
                g.height = value;
            }
        }
        return g;
    }

    // Starts the program and waits for its panel; returns the panel's window id.
    std::string launch() {
        app = spawn({programPath()}, environment());
        std::string panel;
        waitFor([&] {
            std::stringstream out(run("xdotool search --onlyvisible --pid " + std::to_string(app) +
                                      " --name '^Quillfern$'"));
            return static_cast<bool>(out >> panel);
        });
        return panel;
    }

    fs::path settingsFile() const { return home / "config/Quillfern/Quillfern.conf"; }

    void storeFrame(const std::string& text) {
        fs::create_directories(settingsFile().parent_path());
        std::ofstream(settingsFile()) << "[General]\nwidgetFrame=\"" << text << "\"\n";
    }

    std::string storedFrame() const {
        std::ifstream in(settingsFile());
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("widgetFrame=", 0) == 0) {
                std::string value = line.substr(12);
                if (value.size() >= 2 && value.front() == '"') {
                    value = value.substr(1, value.size() - 2);
                }
                return value;
            }
        }
        return {};
    }

    // Right-clicks the panel and waits for another window of the program (the menu).
    std::string openMenu(const std::string& panelId, const Geometry& panel) {
        run("xdotool mousemove " + std::to_string(panel.x + 60) + " " +
            std::to_string(panel.y + 40) + " click 3");
        std::string menu;
        waitFor([&] {
            for (const std::string& id : visibleWindows()) {
                if (id != panelId) {
                    menu = id;
                    return true;
                }
            }
            return false;
        });
        return menu;
    }

    // Quits by choosing the last item, or by its shortcut while the menu is open.
    int quitThroughMenu(const std::string& panelId, const Geometry& panel,
                        const std::string& keys = "Up Return") {
        if (!openMenu(panelId, panel).empty()) {
            run("xdotool key " + keys);
        }
        const std::optional<int> status = waitExit(app, 5s);
        if (!status) {
            kill(app, SIGKILL);
            waitExit(app, 2s);
        }
        app = -1;
        return status.value_or(-1);
    }

    fs::path home;
    std::string display;
    pid_t xvfb = -1;
    pid_t app = -1;
};

const Geometry corner{1208, 12, 216, 92};

} // namespace

TEST_F(PanelE2E, OpensAtTheCornerMovesByDraggingAndReopensThere) {
    std::string panel = launch();
    ASSERT_FALSE(panel.empty()) << "no panel window appeared";
    EXPECT_EQ(geometryOf(panel), corner);
    if (onPath("xprop")) {
        const std::string state = run("xprop -id " + panel + " _NET_WM_STATE _NET_WM_DESKTOP");
        EXPECT_NE(state.find("_NET_WM_STATE_STICKY"), std::string::npos) << state;
        EXPECT_NE(state.find("_NET_WM_STATE_ABOVE"), std::string::npos) << state;
        EXPECT_NE(state.find("4294967295"), std::string::npos) << state;
    } else {
        std::cout << "xprop is not installed: the sticky state is not checked\n";
    }
    EXPECT_TRUE(storedFrame().empty());

    // Press at (1268, 52), drag in steps to (1068, 252): the panel follows by (-200, +200).
    run("xdotool mousemove 1268 52 mousedown 1 mousemove 1250 70 sleep 0.05 mousemove 1150 "
        "170 sleep 0.05 mousemove 1068 252 sleep 0.1 mouseup 1");
    const Geometry moved{1008, 212, 216, 92};
    EXPECT_TRUE(waitFor([&] { return geometryOf(panel) == moved; }, 3s)) << geometryOf(panel);
    // Bottom-left origin, y up: 900 - (212 + 92) = 596.
    EXPECT_TRUE(waitFor([&] { return storedFrame() == "{{1008, 596}, {216, 92}}"; }, 3s))
        << storedFrame();

    EXPECT_EQ(quitThroughMenu(panel, moved), 0);

    panel = launch();
    ASSERT_FALSE(panel.empty());
    EXPECT_EQ(geometryOf(panel), moved);
    EXPECT_EQ(quitThroughMenu(panel, moved), 0);
}

TEST_F(PanelE2E, DragStopsAtTheTopOfTheScreen) {
    const std::string panel = launch();
    ASSERT_FALSE(panel.empty());
    run("xdotool mousemove 1268 52 mousedown 1 mousemove 1240 30 sleep 0.05 mousemove 1200 0 "
        "sleep 0.1 mouseup 1");
    EXPECT_TRUE(waitFor(
        [&] {
            return geometryOf(panel) == Geometry{1140, 0, 216, 92};
        },
        3s))
        << geometryOf(panel);
    EXPECT_TRUE(waitFor([&] { return storedFrame() == "{{1140, 808}, {216, 92}}"; }, 3s))
        << storedFrame();
    EXPECT_EQ(quitThroughMenu(panel, Geometry{1140, 0, 216, 92}, "ctrl+q"), 0);
}

TEST_F(PanelE2E, StoredFrameOffEveryScreenOpensAtTheCorner) {
    storeFrame("{{3000, 300}, {216, 92}}");
    std::string panel = launch();
    ASSERT_FALSE(panel.empty());
    EXPECT_EQ(geometryOf(panel), corner);
    EXPECT_EQ(quitThroughMenu(panel, corner), 0);

    storeFrame("{{100, 200}, {300, 92}}");
    panel = launch();
    ASSERT_FALSE(panel.empty());
    const Geometry wide{100, 608, 300, 92};
    EXPECT_EQ(geometryOf(panel), wide);
    EXPECT_EQ(quitThroughMenu(panel, wide), 0);
}

TEST_F(PanelE2E, ContextMenuOpensBelowTheWidgetResetsAndQuits) {
    const std::string panel = launch();
    ASSERT_FALSE(panel.empty());
    const std::string menu = openMenu(panel, corner);
    ASSERT_FALSE(menu.empty()) << "no menu window appeared";
    const Geometry m = geometryOf(menu);
    // Two below the widget's bottom edge; it may be pushed left to stay on the screen.
    EXPECT_EQ(m.y, corner.y + corner.height + 2) << m;
    EXPECT_LE(m.x, corner.x) << m;
    EXPECT_LE(m.x + m.width, 1440) << m;
    // Six items, four of them text lines.
    EXPECT_GT(m.height, 4 * 16) << m;
    EXPECT_GT(m.width, 150) << m;

    // Down skips the two disabled lines and lands on reset.
    run("xdotool key Down Return");
    EXPECT_TRUE(waitFor([&] { return visibleWindows().size() == 1; }, 3s));
    EXPECT_FALSE(waitExit(app, 300ms).has_value()) << "reset must not end the program";

    EXPECT_EQ(quitThroughMenu(panel, corner), 0);
}
