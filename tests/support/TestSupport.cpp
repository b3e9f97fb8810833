#include "TestSupport.h"

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <iterator>
#include <ostream>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace qftest {

namespace {

std::runtime_error systemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(std::exchange(fd, -1));
}

// A null-terminated array for execve, pointing into `strings`.
std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (auto& s : strings)
        p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

std::vector<std::string> buildEnv(const ChildOptions& o) {
    std::vector<std::string> env;
    for (char** e = environ; !o.clearEnv && *e != nullptr; ++e)
        env.emplace_back(*e);
    for (const std::string& entry : o.env) {
        const std::string key = entry.substr(0, entry.find('='));
        std::erase_if(env, [&](const std::string& e) { return e.substr(0, e.find('=')) == key; });
        if (entry.find('=') != std::string::npos)
            env.push_back(entry);
    }
    return env;
}

std::string findProgram(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return ::access(name.c_str(), X_OK) == 0 ? name : std::string();
    const char* path = std::getenv("PATH");
    std::stringstream dirs(std::string(path ? path : "/usr/bin:/bin") + ":/usr/sbin:/sbin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0)
            return dir + "/" + name;
    return {};
}

fs::path generatorPath() {
    return buildDir() / "tests/support/qf-traffic";
}

} // namespace

fs::path buildDir() {
    return QUILLFERN_TEST_BINARY_DIR;
}
fs::path programPath() {
    return buildDir() / "src/app/quillfern";
}
fs::path toolPath() {
    return buildDir() / "tools/nettop/quillfern-nettop";
}

std::string missingProgram(const std::vector<std::string>& names) {
    for (const auto& n : names)
        if (findProgram(n).empty())
            return n;
    return {};
}

bool waitUntil(const std::function<bool()>& done, milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    while (!done()) {
        if (Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::string slurp(const fs::path& file) {
    // Plain reads: a /proc file of a process that ends while it is read fails with ESRCH,
    // which a stream buffer would throw as an exception rather than end the text.
    std::string text;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    char buf[4096];
    for (ssize_t n; fd >= 0 && (n = ::read(fd, buf, sizeof buf)) != 0;) {
        if (n < 0 && errno != EINTR)
            break;
        text.append(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    if (fd >= 0)
        ::close(fd);
    return text;
}

std::string tail(const fs::path& file, std::size_t maxBytes) {
    const std::string s = slurp(file);
    return s.size() > maxBytes ? "..." + s.substr(s.size() - maxBytes) : s;
}

TempDir::TempDir() {
    std::string tmpl = "/tmp/qftest-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr)
        throw systemError("mkdtemp");
    m_path = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

Child::Child(ChildOptions o) {
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1}, extra[2] = {-1, -1};
    for (const auto& [wanted, fds] : {std::pair{o.pipeStdin, in},
                                      {o.pipeStdout, out},
                                      {o.pipeStderr, err},
                                      {o.extraFd >= 0, extra}})
        if (wanted && ::pipe2(fds, O_CLOEXEC) != 0)
            throw systemError("pipe");
    const std::string exe = o.argv.empty() ? std::string() : findProgram(o.argv.front());
    if (o.argv.empty() ? !o.body : exe.empty())
        throw std::runtime_error("cannot run: " + (o.argv.empty() ? "no argv or body" : o.argv[0]));
    // Built before fork, so the child allocates nothing before exec.
    std::vector<std::string> envStrings = buildEnv(o);
    const std::vector<char*> args = pointers(o.argv), envp = pointers(envStrings);
    const std::string log = o.logFile.empty() ? "/dev/null" : o.logFile.string();
    const std::string nsPath = "/run/netns/" + o.netns;

    const pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid < 0)
        throw systemError("fork");
    if (m_pid == 0) {
        ::setpgid(0, 0);
        // A test killed by its timeout takes its children with it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(126);
        const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        const int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        ::dup2(o.pipeStdin ? in[0] : devnull, STDIN_FILENO);
        ::dup2(o.pipeStdout ? out[1] : logFd, STDOUT_FILENO);
        ::dup2(o.pipeStderr ? err[1] : logFd, STDERR_FILENO);
        if (o.extraFd >= 0)
            ::dup2(extra[1], o.extraFd); // the copy is not close-on-exec
        if (!o.netns.empty()) {
            const int ns = ::open(nsPath.c_str(), O_RDONLY | O_CLOEXEC);
            if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0)
                ::_exit(120);
        }
        if ((o.gid || o.uid) && (::setgroups(0, nullptr) != 0 || (o.gid && ::setgid(*o.gid) != 0) ||
                                 (o.uid && ::setuid(*o.uid) != 0)))
            ::_exit(121);
        // The test runner's signal mask and ignored signals must not reach the program.
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        if (o.argv.empty())
            ::_exit(o.body());
        ::execve(exe.c_str(), args.data(), envp.data());
        ::_exit(127);
    }
    for (int* fd : {&in[0], &out[1], &err[1], &extra[1]})
        closeFd(*fd);
    m_stdin = in[1];
    m_pipes[0].fd = out[0];
    m_pipes[1].fd = err[0];
    m_pipes[2].fd = extra[0];
    // Every wait for the child's end is a poll on this descriptor (Linux 5.3 and later):
    // without it there is no waiting for the end without a timer.
    m_pidfd = static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0));
    if (m_pidfd < 0) {
        const auto error = systemError("pidfd_open");
        kill();
        throw error;
    }
}

Child::~Child() {
    kill();
    for (int* fd : {&m_stdin, &m_pipes[0].fd, &m_pipes[1].fd, &m_pipes[2].fd, &m_pidfd})
        closeFd(*fd);
}

bool Child::running() {
    int status = 0;
    const pid_t r = m_status ? -1 : ::waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid)
        m_status = status;
    return r == 0;
}

std::optional<int> Child::waitExit(milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    while (running()) {
        // The pidfd turns readable when the child ends.
        pollfd p{m_pidfd, POLLIN, 0};
        const int r = ::poll(&p, 1, msLeft(end));
        if (r == 0 || (r < 0 && errno != EINTR))
            return std::nullopt;
    }
    return m_status;
}

void Child::signal(int sig) {
    if (running())
        ::kill(m_pid, sig);
}

void Child::kill() {
    if (m_status)
        return;
    ::kill(-m_pid, SIGKILL);
    ::kill(m_pid, SIGKILL); // in case it has not made its group yet
    // A test process may have signal handlers (Qt's for SIGCHLD, say), so waits can be cut short.
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_status = status;
}

bool Child::fill(Pipe& p, Clock::time_point deadline) {
    pollfd pfd{p.fd, POLLIN, 0};
    const int r = p.fd < 0 ? 0 : ::poll(&pfd, 1, msLeft(deadline));
    if (r <= 0)
        return r < 0 && errno == EINTR;
    char tmp[65536];
    const ssize_t n = ::read(p.fd, tmp, sizeof tmp);
    if (n <= 0)
        closeFd(p.fd);
    else
        p.buf.append(tmp, static_cast<std::size_t>(n));
    return p.fd >= 0;
}

std::optional<std::string> Child::readLine(milliseconds deadline, Stream from) {
    Pipe& p = m_pipes[static_cast<int>(from)];
    const auto end = Clock::now() + deadline;
    std::size_t nl;
    while ((nl = p.buf.find('\n')) == std::string::npos)
        if (!fill(p, end))
            return std::nullopt;
    std::string line = p.buf.substr(0, nl);
    p.buf.erase(0, nl + 1);
    return line;
}

bool Child::writeStdin(const std::string& text) {
    // A reader that is gone must fail the write, not kill the test. Commands are short, so
    // one write takes all of it (a pipe writes up to PIPE_BUF bytes at once).
    ::signal(SIGPIPE, SIG_IGN);
    return m_stdin >= 0 && ::write(m_stdin, text.data(), text.size()) == ssize_t(text.size());
}

void Child::closeStdin() {
    closeFd(m_stdin);
}

int exitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

RunResult Child::collect(milliseconds deadline) {
    // Standard error is read after standard output closes; a pipe holds 64 KiB, which is
    // plenty for the tools the tests run.
    const auto end = Clock::now() + deadline;
    for (Pipe& p : {std::ref(m_pipes[0]), std::ref(m_pipes[1])})
        while (fill(p, end)) {
        }
    const auto status = waitExit(std::chrono::duration_cast<milliseconds>(end - Clock::now()));
    return {status ? exitCode(*status) : -1, m_pipes[0].buf, m_pipes[1].buf};
}

RunResult run(ChildOptions options, milliseconds deadline) {
    options.pipeStdout = options.pipeStderr = true;
    return Child(std::move(options)).collect(deadline);
}

RunResult run(const std::vector<std::string>& argv, milliseconds deadline) {
    return run(ChildOptions{.argv = argv}, deadline);
}

bool processAlive(pid_t pid) {
    const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

NetnsPair::NetnsPair(bool ipv6) {
    static int serial = 0;
    // The test's pid in every name, so parallel runs never meet; interface names hold at
    // most 15 characters.
    const std::string id = std::to_string(::getpid() % 100000) + "x" + std::to_string(serial++);
    m_a = "qft-" + id + "-a";
    m_b = "qft-" + id + "-b";
    m_ifA = "qt" + id + "a";
    m_ifB = "qt" + id + "b";
    if (::geteuid() != 0 || !missingProgram({"ip", "sysctl"}).empty()) {
        m_why = "needs root, iproute2 and sysctl to make network namespaces";
        return;
    }
    m_added = true;
    // Each step an `ip` command line; IPv6 is switched off before the links come up (-e: a
    // kernel without IPv6 is just as quiet).
    const std::string a = "-n " + m_a + " ", b = "-n " + m_b + " ";
    std::vector<std::string> steps = {
        "netns add " + m_a,
        "netns add " + m_b,
        "link add " + m_ifA + " netns " + m_a + " type veth peer name " + m_ifB + " netns " + m_b,
        a + "link set lo up",
        b + "link set lo up",
        a + "addr add " + kAddrA + "/24 dev " + m_ifA,
        b + "addr add " + kAddrB + "/24 dev " + m_ifB,
    };
    for (const auto& [ns, dev, addr6] : {std::tuple{m_a, m_ifA, kAddr6A}, {m_b, m_ifB, kAddr6B}})
        steps.push_back(ipv6 ? "-n " + ns + " addr add " + addr6 + "/64 dev " + dev + " nodad"
                             : "netns exec " + ns +
                                   " sysctl -qew net.ipv6.conf.all.disable_ipv6=1"
                                   " net.ipv6.conf.default.disable_ipv6=1");
    steps.push_back(a + "link set " + m_ifA + " up");
    steps.push_back(b + "link set " + m_ifB + " up");
    for (const std::string& step : steps) {
        std::istringstream words("ip " + step);
        const std::vector<std::string> argv{std::istream_iterator<std::string>(words), {}};
        if (const RunResult r = run(argv); r.exitCode != 0) {
            m_why = "ip " + step + " failed: " + r.err;
            return;
        }
    }
    m_ready = true;
}

NetnsPair::~NetnsPair() {
    // Deleting a namespace takes its end of the veth pair with it; one never added just
    // makes ip fail.
    if (m_added) {
        run({"ip", "netns", "del", m_a});
        run({"ip", "netns", "del", m_b});
    }
}

std::optional<Counters> interfaceCounters(const std::string& netns) {
    // /proc/net belongs to the reading process's namespace.
    const RunResult r = run({.argv = {"cat", "/proc/net/dev"}, .netns = netns});
    std::istringstream in(r.out);
    Counters c;
    bool any = false;
    for (std::string line; std::getline(in, line);) {
        // "  name: rx_bytes packets errs drop fifo frame compressed multicast tx_bytes ..."
        char name[64] = {};
        std::uint64_t rx = 0, tx = 0;
        if (std::sscanf(line.c_str(), " %63[^:]: %" SCNu64 " %*s %*s %*s %*s %*s %*s %*s %" SCNu64,
                        name, &rx, &tx) != 3 ||
            std::string(name) == "lo")
            continue;
        c.rx += rx;
        c.tx += tx;
        any = true;
    }
    return r.exitCode == 0 && any ? std::optional(c) : std::nullopt;
}

std::ostream& operator<<(std::ostream& os, const Geometry& g) {
    return os << g.width << "x" << g.height << "+" << g.x << "+" << g.y;
}

XServer::XServer(const std::string& netns, const fs::path& logFile)
    : m_netns(netns), m_log(logFile) {
    if (findProgram("Xvfb").empty())
        return;
    m_child =
        std::make_unique<Child>(ChildOptions{.argv = {"Xvfb", "-displayfd", "3", "-nolisten", "tcp",
                                                      "-screen", "0", "1440x900x24", "-noreset"},
                                             .netns = netns,
                                             .extraFd = 3,
                                             .logFile = logFile});
    // Xvfb writes the number once it accepts clients.
    const auto number = m_child->readLine(60s, Child::Stream::Extra);
    if (number && !number->empty())
        m_display = ":" + *number;
}

std::unique_ptr<XServer> XServer::existing(const std::string& display) {
    std::unique_ptr<XServer> x(new XServer(Attached{}));
    x->m_display = display;
    return x;
}

XServer::~XServer() {
    if (m_child) {
        m_child->signal(SIGTERM);
        m_child->waitExit();
    }
}

std::string XServer::why() const {
    return m_child ? "Xvfb did not start: " + tail(m_log) : "Xvfb is not installed";
}

RunResult XServer::xdo(std::vector<std::string> args) const {
    args.insert(args.begin(), "xdotool");
    return run(std::move(args));
}

RunResult XServer::run(std::vector<std::string> argv) const {
    return qftest::run(
        {.argv = std::move(argv), .env = {"DISPLAY=" + m_display}, .netns = m_netns});
}

std::vector<std::string> XServer::search(std::vector<std::string> args) const {
    args.insert(args.begin(), "search");
    std::istringstream in(xdo(std::move(args)).out);
    std::vector<std::string> ids;
    for (std::string id; in >> id;)
        ids.push_back(id);
    return ids;
}

std::vector<std::string> XServer::windowsOf(pid_t pid) const {
    return search({"--onlyvisible", "--pid", std::to_string(pid)});
}

Geometry XServer::geometry(const std::string& window) const {
    Geometry g;
    if (std::sscanf(xdo({"getwindowgeometry", "--shell", window}).out.c_str(),
                    "WINDOW=%*d X=%d Y=%d WIDTH=%d HEIGHT=%d", &g.x, &g.y, &g.width,
                    &g.height) != 4)
        g = {};
    return g;
}

bool XServer::move(int x, int y) const {
    // --sync waits for the pointer to move, which never happens when it is already there.
    const std::string here = xdo({"getmouselocation", "--shell"}).out;
    return here.rfind("X=" + std::to_string(x) + "\nY=" + std::to_string(y) + "\n", 0) == 0 ||
           xdo({"mousemove", "--sync", std::to_string(x), std::to_string(y)}).exitCode == 0;
}

bool XServer::click(int x, int y, int button) const {
    return move(x, y) && xdo({"click", std::to_string(button)}).exitCode == 0;
}

bool XServer::drag(int fromX, int fromY, int toX, int toY) const {
    constexpr int kSteps = 4;
    if (!move(fromX, fromY) || xdo({"mousedown", "1"}).exitCode != 0)
        return false;
    for (int i = 1; i <= kSteps; ++i)
        if (!move(fromX + (toX - fromX) * i / kSteps, fromY + (toY - fromY) * i / kSteps))
            return false;
    return xdo({"mouseup", "1"}).exitCode == 0;
}

Sandbox::Sandbox() {
    for (const char* d : {"home", "config", "data", "cache", "runtime", "tmp"})
        fs::create_directories(root() / d);
    fs::permissions(runtimeDir(), fs::perms::owner_all, fs::perm_options::replace);
}

fs::path Sandbox::configFile() const {
    return root() / "config/Quillfern/Quillfern.conf";
}

fs::path Sandbox::exportHistory() const {
    const fs::path out = root() / "export.json";
    return runProgram({"--export-json", out.string()}).exitCode == 0 ? out : fs::path();
}

std::vector<std::string> Sandbox::env() const {
    std::vector<std::string> env = {"PATH=/usr/local/bin:/usr/bin:/bin", "LANG=C.UTF-8",
                                    "QT_QPA_PLATFORM=xcb"};
    for (const auto& [name, dir] : {std::pair{"HOME", "home"},
                                    {"XDG_CONFIG_HOME", "config"},
                                    {"XDG_DATA_HOME", "data"},
                                    {"XDG_CACHE_HOME", "cache"},
                                    {"XDG_RUNTIME_DIR", "runtime"},
                                    {"TMPDIR", "tmp"}})
        env.push_back(std::string(name) + "=" + (root() / dir).string());
    if (!m_display.empty())
        env.push_back("DISPLAY=" + m_display);
    // The day key is the local date, so program and test must agree on "local"; the
    // sanitizers' settings follow the program.
    for (const char* keep : {"TZ", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
        if (const char* v = std::getenv(keep))
            env.push_back(std::string(keep) + "=" + v);
    // Without a session bus of its own, a program on an X display would have libdbus
    // autolaunch one that outlives the test: point it at a bus that is not there instead.
    if (!m_bus)
        env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + (root() / "no-session-bus").string());
    env.insert(env.end(), m_extraEnv.begin(), m_extraEnv.end());
    return env;
}

ChildOptions Sandbox::options(std::vector<std::string> argv, const std::string& logName) const {
    return {.argv = std::move(argv),
            .env = env(),
            .clearEnv = true,
            .logFile = logName.empty() ? fs::path() : log(logName)};
}

std::unique_ptr<Child> Sandbox::start(std::vector<std::string> argv, const std::string& logName,
                                      const std::string& netns) {
    ChildOptions o = options(std::move(argv), logName);
    o.netns = netns;
    return std::make_unique<Child>(std::move(o));
}

std::unique_ptr<Child> Sandbox::launch(const std::string& logName, const std::string& netns) {
    return start({programPath().string()}, logName, netns);
}

RunResult Sandbox::runProgram(const std::vector<std::string>& args,
                              const std::vector<std::string>& extraEnv) const {
    ChildOptions o = options({programPath().string()}, {});
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.env.insert(o.env.end(), extraEnv.begin(), extraEnv.end());
    return run(std::move(o));
}

bool Sandbox::startSessionBus() {
    if (findProgram("dbus-daemon").empty())
        return false;
    ChildOptions o =
        options({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=3",
                 // Its socket inside the sandbox, which goes when the sandbox does.
                 "--address=unix:dir=" + root().string()},
                "dbus");
    o.extraFd = 3;
    m_bus = std::make_unique<Child>(std::move(o));
    const auto address = m_bus->readLine(60s, Child::Stream::Extra);
    if (!address || address->empty()) {
        m_bus.reset();
        return false;
    }
    addEnv("DBUS_SESSION_BUS_ADDRESS=" + *address);
    return true;
}

std::string Sandbox::logs() const {
    std::string out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(root(), ec))
        if (e.path().extension() == ".log")
            out += "---- " + e.path().filename().string() + " ----\n" + tail(e.path()) + "\n";
    return out;
}

TrafficServer::TrafficServer(const std::string& netns, const std::string& address,
                             const fs::path& logFile)
    : m_log(logFile) {
    m_child =
        std::make_unique<Child>(ChildOptions{.argv = {generatorPath().string(), "serve", address},
                                             .netns = netns,
                                             .pipeStdout = true,
                                             .logFile = logFile});
    const auto line = m_child->readLine(60s);
    if (line && line->rfind("listening ", 0) == 0)
        m_port = static_cast<std::uint16_t>(std::atoi(line->c_str() + 10));
}

std::string TrafficServer::why() const {
    return "the traffic server did not start: " + tail(m_log);
}

TrafficClient::TrafficClient(const std::string& netns, const std::string& name,
                             const std::vector<Target>& targets, std::uint64_t up,
                             std::uint64_t down, const fs::path& logFile) {
    ChildOptions o{.argv = {generatorPath().string(), "client", name, std::to_string(up),
                            std::to_string(down)},
                   .netns = netns,
                   .pipeStdin = true,
                   .pipeStdout = true,
                   .logFile = logFile};
    for (const auto& t : targets) {
        o.argv.push_back(t.address);
        o.argv.push_back(std::to_string(t.port));
    }
    m_child = std::make_unique<Child>(std::move(o));
    m_connected = m_child->readLine(60s) == std::optional<std::string>("connected");
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> TrafficClient::go(milliseconds deadline) {
    std::pair<std::uint64_t, std::uint64_t> moved;
    const auto done = m_child->writeStdin("go\n") ? m_child->readLine(deadline) : std::nullopt;
    return done && std::sscanf(done->c_str(), "done %" SCNu64 " %" SCNu64, &moved.first,
                               &moved.second) == 2
               ? std::optional(moved)
               : std::nullopt;
}

bool TrafficClient::closeConnections() {
    return m_child->writeStdin("close\n") && m_child->readLine() == "closed";
}

int TrafficClient::finish() {
    m_child->closeStdin();
    return exitCode(m_child->waitExit().value_or(-1));
}

} // namespace qftest
