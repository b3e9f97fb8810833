#pragma once

// A virtual X server and the X clients (xdotool, xprop) the tests drive it with.

#include "Process.h"

#include <ostream>
#include <utility>

namespace qftest {

struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Geometry&) const = default;
    friend std::ostream& operator<<(std::ostream& os, const Geometry& g) {
        return os << g.width << "x" << g.height << "+" << g.x << "+" << g.y;
    }
};

// An Xvfb of kWidth x kHeight started with -displayfd, so the number is free and the server
// is ready when known. Each call returns once its client has done its work.
class XServer {
public:
    static constexpr int kWidth = 1440, kHeight = 900;

    explicit XServer(const std::string& netns = {}, const fs::path& logFile = {});
    // Drives a display served by someone else (a compositor's XWayland); starts nothing.
    struct Existing {
        std::string display;
    };
    explicit XServer(Existing e) : m_display(std::move(e.display)) {}
    // Asked to end rather than killed, so that it takes its socket in /tmp with it.
    ~XServer();
    bool ready() const { return !m_display.empty(); }
    const std::string& display() const { return m_display; } // ":<n>"
    std::string why() const {
        return m_child ? "Xvfb did not start: " + tail(m_log) : "Xvfb is not installed";
    }

    // Runs an X client (xprop, ...) against this display, in the server's namespace.
    RunResult run(std::vector<std::string> argv) const {
        return qftest::run(
            {.argv = std::move(argv), .env = {"DISPLAY=" + m_display}, .netns = m_netns});
    }
    RunResult xdo(std::vector<std::string> args) const {
        args.insert(args.begin(), "xdotool");
        return run(std::move(args));
    }
    // Windows matching an xdotool search (e.g. {"--all", "--pid", pid, "--name", "^Q"}),
    // unmapped ones too unless the arguments say --onlyvisible.
    std::vector<std::string> search(std::vector<std::string> args) const;
    // The mapped windows of a process.
    std::vector<std::string> windowsOf(pid_t pid) const {
        return search({"--onlyvisible", "--pid", std::to_string(pid)});
    }
    // All zero when the window is not there.
    Geometry geometry(const std::string& window) const;
    bool click(int x, int y, int button = 1) const {
        return move(x, y) && xdo({"click", std::to_string(button)}).exitCode == 0;
    }
    // Press at `from`, move through a few evenly spaced points to `to`, release.
    bool drag(int fromX, int fromY, int toX, int toY) const;

private:
    bool move(int x, int y) const;
    std::string m_netns;
    fs::path m_log;
    std::unique_ptr<Child> m_child;
    std::string m_display;
};

} // namespace qftest
