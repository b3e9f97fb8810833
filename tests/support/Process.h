#pragma once

// Child processes, temporary directories, the build's programs and waiting for a condition.
// Nothing here waits a fixed time: callers wait for a line on a pipe, a process's exit, or a
// condition with a generous overall deadline. A broken environment makes these throw rather
// than limp on.

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <sys/wait.h>
#include <vector>

namespace qftest {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

fs::path buildDir(); // the CMake build tree the tests belong to
inline fs::path programPath() {
    return buildDir() / "src/app/quillfern";
}
// What the program runs.
inline fs::path toolPath() {
    return buildDir() / "tools/nettop/quillfern-nettop";
}

// The full path of a program (looked up on PATH and the sbin directories unless it holds a
// '/'), or empty when it cannot be run.
std::string findProgram(const std::string& name);
// The first of `names` that is not installed, or empty.
inline std::string missingProgram(const std::vector<std::string>& names) {
    for (const auto& n : names)
        if (findProgram(n).empty())
            return n;
    return {};
}

// Re-checks `done` every few milliseconds until it holds or `deadline` has passed; the
// deadline is a safety net for a broken build, never a measure of how long something takes.
bool waitUntil(const std::function<bool()>& done, milliseconds deadline = 30s);

std::string slurp(const fs::path& file);
// The last `maxBytes` of a file, for failure messages.
inline std::string tail(const fs::path& file, std::size_t maxBytes = 4000) {
    const std::string s = slurp(file);
    return s.size() > maxBytes ? "..." + s.substr(s.size() - maxBytes) : s;
}

// A fresh directory under /tmp (private unless `mode` says otherwise), removed with its
// content on destruction.
class TempDir {
public:
    explicit TempDir(fs::perms mode = fs::perms::owner_all);
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return m_path; }
    fs::path operator/(const fs::path& rel) const { return m_path / rel; }

private:
    fs::path m_path;
};

// Every member has an initializer, so a designated initializer names only what it sets
// without GCC taking the others for forgotten.
struct ChildOptions {
    // The program and its arguments (looked up on PATH unless it holds a '/')...
    std::vector<std::string> argv{};
    // ...or, when argv is empty, a function run in the forked child; its result is the exit
    // status. Keep it to plain system calls: the child is a copy of the test process.
    std::function<int()> body{};
    // "NAME=value" entries laid over the inherited environment ("NAME=" sets it empty, a bare
    // "NAME" removes it). With clearEnv the inherited environment is dropped first.
    std::vector<std::string> env{};
    bool clearEnv = false;
    // A named network namespace (/run/netns/<name>) to enter before the program starts.
    std::string netns{};
    // Switch to this user and group (root only) after entering the namespace. A program of
    // the build tree then runs from a copy in a directory every user can enter: the build tree
    // may sit in a private one (a checkout under /root). The programs link the project's
    // libraries statically, so the binary is all they need.
    std::optional<uid_t> uid{};
    std::optional<gid_t> gid{};
    bool pipeStdin = false;
    bool pipeStdout = false;
    bool pipeStderr = false;
    // The child gets the write end of a fresh pipe as this descriptor (Xvfb's -displayfd,
    // dbus-daemon's --print-address, a body's event reports).
    int extraFd = -1;
    // Where standard output and standard error go unless piped; empty: /dev/null.
    fs::path logFile{};
};

struct RunResult {
    int exitCode = -1; // -1: ended by a signal or still running at the deadline
    std::string out;
    std::string err;
};

// A child in its own process group. The destructor kills the whole group (SIGKILL) and
// reaps the child; should the test process die, the child is killed too.
class Child {
public:
    enum class Stream { Stdout, Stderr, Extra };

    explicit Child(ChildOptions options);
    ~Child(); // neither copied nor moved

    pid_t pid() const { return m_pid; }
    bool running();
    // The raw wait status once the child has ended, or nothing if it still runs at the deadline.
    std::optional<int> waitExit(milliseconds deadline = 30s);
    void signal(int sig);
    // SIGKILL to the whole group, then reaped.
    void kill();

    // One line (without its newline) from a piped stream; nothing at end of file or deadline.
    std::optional<std::string> readLine(milliseconds deadline = 30s, Stream from = Stream::Stdout);
    // Both piped output streams to their end, read side by side, then the exit (all within
    // the deadline).
    RunResult collect(milliseconds deadline);
    bool writeStdin(const std::string& text);
    void closeStdin() { closeFd(m_stdin); }

private:
    static void closeFd(int& fd);
    struct Pipe {
        int fd = -1;
        std::string buf;
    };
    // Waits for any of `pipes` to have something and reads it; false at the end of all of
    // them or at the deadline.
    bool fill(std::initializer_list<Pipe*> pipes, Clock::time_point deadline);

    std::unique_ptr<TempDir> m_copy; // of a build program run as another user
    pid_t m_pid = -1;
    int m_pidfd = -1;
    std::optional<int> m_status;
    int m_stdin = -1;
    Pipe m_pipes[3]; // by Stream
};

// WEXITSTATUS for a normal exit, else -1.
inline int exitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a child to completion, capturing standard output and error (pipe flags are set here).
RunResult run(ChildOptions options, milliseconds deadline = 30s);
inline RunResult run(const std::vector<std::string>& argv, milliseconds deadline = 30s) {
    return run(ChildOptions{.argv = argv}, deadline);
}

// Exists and is not a zombie.
inline bool processAlive(pid_t pid) {
    const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

} // namespace qftest
