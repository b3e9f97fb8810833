#pragma once

// The end-to-end tests' one toolbox: child processes, temporary directories, network
// namespaces, an X server driven by xdotool, the program's sandbox and a byte-exact traffic
// generator. Every object tidies up after itself on destruction, so a failed assertion never
// leaves a process, a namespace or a directory behind. Nothing here waits a fixed time:
// callers wait for a line on a pipe, a process's exit, or a condition with a generous
// overall deadline. A broken environment makes these throw rather than limp on.
//
// Link the CMake target `quillfern_test_support`. Needs no Qt.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qftest {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// ---- Paths of the build ------------------------------------------------------------------

fs::path buildDir();    // the CMake build tree the tests belong to
fs::path programPath(); // build/src/app/quillfern
fs::path toolPath();    // build/tools/nettop/quillfern-nettop (what the program runs)

// The first of `names` that is not on PATH (or in the sbin directories), or empty.
std::string missingProgram(const std::vector<std::string>& names);

// Re-checks `done` every few milliseconds until it holds or `deadline` has passed; the
// deadline is a safety net for a broken build, never a measure of how long something takes.
bool waitUntil(const std::function<bool()>& done, milliseconds deadline = 30s);

std::string slurp(const fs::path& file);
// The last `maxBytes` of a file, for failure messages.
std::string tail(const fs::path& file, std::size_t maxBytes = 4000);

// ---- Temporary directory -----------------------------------------------------------------

// A fresh directory under /tmp, removed with its content on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return m_path; }
    fs::path operator/(const fs::path& rel) const { return m_path / rel; }

private:
    fs::path m_path;
};

// ---- Child process -----------------------------------------------------------------------

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
    // Switch to this user and group (root only) after entering the namespace.
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
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return m_pid; }
    bool running();
    // The raw wait status once the child has ended, or nothing if it still runs at the deadline.
    std::optional<int> waitExit(milliseconds deadline = 30s);
    void signal(int sig);
    // SIGKILL to the whole group, then reaped.
    void kill();

    // One line (without its newline) from a piped stream; nothing at end of file or deadline.
    std::optional<std::string> readLine(milliseconds deadline = 30s, Stream from = Stream::Stdout);
    // Both piped output streams to their end, then the exit (all within the deadline).
    RunResult collect(milliseconds deadline);
    bool writeStdin(const std::string& text);
    void closeStdin();

private:
    struct Pipe {
        int fd = -1;
        std::string buf;
    };
    bool fill(Pipe& p, Clock::time_point deadline);

    pid_t m_pid = -1;
    int m_pidfd = -1;
    std::optional<int> m_status;
    int m_stdin = -1;
    Pipe m_pipes[3]; // by Stream
};

// WEXITSTATUS for a normal exit, else -1.
int exitCode(int status);

// Runs a child to completion, capturing standard output and error (pipe flags are set here).
RunResult run(ChildOptions options, milliseconds deadline = 30s);
RunResult run(const std::vector<std::string>& argv, milliseconds deadline = 30s);

// Exists and is not a zombie.
bool processAlive(pid_t pid);

// ---- Network namespaces ------------------------------------------------------------------

// Two fresh network namespaces joined by a veth pair, loopbacks up. A holds kAddrA (and
// kAddr6A with ipv6), B the others. Without ipv6, IPv6 is switched off in both so no
// neighbour discovery adds bytes of its own. Needs root and iproute2: check ready() and skip
// with why() otherwise.
class NetnsPair {
public:
    static constexpr const char* kAddrA = "10.213.7.1";
    static constexpr const char* kAddrB = "10.213.7.2";
    static constexpr const char* kAddr6A = "fd13:7::1";
    static constexpr const char* kAddr6B = "fd13:7::2";

    explicit NetnsPair(bool ipv6 = false);
    ~NetnsPair();
    NetnsPair(const NetnsPair&) = delete;
    NetnsPair& operator=(const NetnsPair&) = delete;

    bool ready() const { return m_ready; }
    const std::string& why() const { return m_why; }
    const std::string& a() const { return m_a; }
    const std::string& b() const { return m_b; }
    const std::string& ifaceA() const { return m_ifA; }
    const std::string& ifaceB() const { return m_ifB; }

private:
    std::string m_a, m_b, m_ifA, m_ifB, m_why;
    bool m_added = false, m_ready = false;
};

// Summed byte counters of a namespace's interfaces other than loopback ("" for this one).
struct Counters {
    std::uint64_t rx = 0;
    std::uint64_t tx = 0;
};
std::optional<Counters> interfaceCounters(const std::string& netns);

// ---- X server ----------------------------------------------------------------------------

struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Geometry&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Geometry& g);

// A 1440x900 Xvfb started with -displayfd, so the number is free and the server is ready
// when known, and the X clients the tests drive it with. Each call returns once its client
// has done its work.
class XServer {
public:
    explicit XServer(const std::string& netns = {}, const fs::path& logFile = {});
    // Drives a display served by someone else (a compositor's XWayland); starts nothing.
    static std::unique_ptr<XServer> existing(const std::string& display);
    // Asked to end rather than killed, so that it takes its socket in /tmp with it.
    ~XServer();
    bool ready() const { return !m_display.empty(); }
    const std::string& display() const { return m_display; } // ":<n>"
    std::string why() const;

    // Runs an X client (xprop, ...) against this display, in the server's namespace.
    RunResult run(std::vector<std::string> argv) const;
    RunResult xdo(std::vector<std::string> args) const;
    // Windows matching an xdotool search (e.g. {"--all", "--pid", pid, "--name", "^Q"}),
    // unmapped ones too unless the arguments say --onlyvisible.
    std::vector<std::string> search(std::vector<std::string> args) const;
    // The mapped windows of a process.
    std::vector<std::string> windowsOf(pid_t pid) const;
    // All zero when the window is not there.
    Geometry geometry(const std::string& window) const;
    bool click(int x, int y, int button = 1) const;
    // Press at `from`, move through a few evenly spaced points to `to`, release.
    bool drag(int fromX, int fromY, int toX, int toY) const;

private:
    struct Attached {};
    explicit XServer(Attached) {}
    bool move(int x, int y) const;
    std::string m_netns;
    fs::path m_log;
    std::unique_ptr<Child> m_child;
    std::string m_display;
};

// ---- The program's sandbox ---------------------------------------------------------------

// Private HOME and XDG directories under a temporary directory, the environment the program
// runs with, and the paths of its files. Start the program, a window manager or anything
// else with start(); startSessionBus() gives all later starts one private D-Bus session.
class Sandbox {
public:
    Sandbox();
    const fs::path& root() const { return m_tmp.path(); }
    fs::path configFile() const; // Quillfern.conf
    // The whole history as the program exports it (JSON), or empty when the export failed.
    fs::path exportHistory() const;
    fs::path runtimeDir() const { return root() / "runtime"; }
    fs::path log(const std::string& name) const { return root() / (name + ".log"); }

    void setDisplay(const std::string& display) { m_display = display; }
    // Runs started after this see these extra "NAME=value" entries.
    void addEnv(const std::string& entry) { m_extraEnv.push_back(entry); }
    std::vector<std::string> env() const;

    // Starts argv with the sandbox's environment, output to <logName>.log.
    std::unique_ptr<Child> start(std::vector<std::string> argv, const std::string& logName,
                                 const std::string& netns = {});
    // The program itself.
    std::unique_ptr<Child> launch(const std::string& logName = "program",
                                  const std::string& netns = {});
    // Runs the program to completion with these arguments and extra environment entries.
    RunResult runProgram(const std::vector<std::string>& args,
                         const std::vector<std::string>& extraEnv = {}) const;
    // A private session bus (dbus-daemon --session); false when dbus-daemon is missing.
    bool startSessionBus();

    // Every log of this sandbox's children, for a failed test's output.
    std::string logs() const;

private:
    ChildOptions options(std::vector<std::string> argv, const std::string& logName) const;

    TempDir m_tmp;
    std::string m_display;
    std::vector<std::string> m_extraEnv;
    std::unique_ptr<Child> m_bus;
};

// ---- Traffic generator -------------------------------------------------------------------
//
// Byte-exact TCP between two processes. Each connection carries a request of kRequestBytes
// from the client (how much each way), the two payloads at the same time, and kAckBytes
// from the server once it has read the whole upload: when the client reports "done", every
// byte has arrived. Counted at the client's end, a transfer of (up, down) is
// up + kRequestBytes out and down + kAckBytes in.

inline constexpr std::uint64_t kRequestBytes = 16;
inline constexpr std::uint64_t kAckBytes = 8;

// Serves any number of connections at an address (IPv4 or IPv6), in a namespace.
class TrafficServer {
public:
    TrafficServer(const std::string& netns, const std::string& address,
                  const fs::path& logFile = {});
    bool ready() const { return m_port != 0; }
    std::uint16_t port() const { return m_port; }
    std::string why() const;

private:
    fs::path m_log;
    std::unique_ptr<Child> m_child;
    std::uint16_t m_port = 0;
};

// A client process named `name` (its comm) holding one connection to each target. go()
// moves up/down bytes on every connection and returns once the server has them all;
// closeConnections() closes the sockets but keeps the process; the destructor ends it.
class TrafficClient {
public:
    struct Target {
        std::string address;
        std::uint16_t port;
    };
    TrafficClient(const std::string& netns, const std::string& name,
                  const std::vector<Target>& targets, std::uint64_t up, std::uint64_t down,
                  const fs::path& logFile = {});
    // Whether every connection is established.
    bool connected() const { return m_connected; }
    pid_t pid() const { return m_child->pid(); }
    bool running() { return m_child->running(); }
    // Payload bytes sent and received over all connections, or nothing on failure.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> go(milliseconds deadline = 120s);
    bool closeConnections();
    // Ends the client and returns its exit code.
    int finish();

private:
    std::unique_ptr<Child> m_child;
    bool m_connected = false;
};

} // namespace qftest
