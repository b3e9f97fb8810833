#include "TestSupport.h"

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <ostream>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
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
    const char* dir = std::getenv("QUILLFERN_BINARY_DIR");
    return dir && *dir ? fs::path(dir) : fs::path(QUILLFERN_TEST_BINARY_DIR);
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
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
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
        if ((o.gid || o.uid) && ::setgroups(0, nullptr) != 0)
            ::_exit(121);
        if ((o.gid && ::setgid(*o.gid) != 0) || (o.uid && ::setuid(*o.uid) != 0))
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
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_status = status;
}

bool Child::fill(Pipe& p, Clock::time_point deadline) {
    if (p.fd < 0)
        return false;
    pollfd pfd{p.fd, POLLIN, 0};
    const int r = ::poll(&pfd, 1, msLeft(deadline));
    if (r <= 0)
        return r < 0 && errno == EINTR;
    char tmp[65536];
    const ssize_t n = ::read(p.fd, tmp, sizeof tmp);
    if (n > 0)
        p.buf.append(tmp, static_cast<std::size_t>(n));
    else if (n == 0 || errno != EINTR)
        closeFd(p.fd);
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

std::string Child::readAll(Stream from, milliseconds deadline) {
    Pipe& p = m_pipes[static_cast<int>(from)];
    const auto end = Clock::now() + deadline;
    while (fill(p, end)) {
    }
    return std::exchange(p.buf, {});
}

bool Child::writeStdin(const std::string& text) {
    // A reader that is gone must fail the write, not kill the test.
    ::signal(SIGPIPE, SIG_IGN);
    std::size_t done = 0;
    while (m_stdin >= 0 && done < text.size()) {
        const ssize_t n = ::write(m_stdin, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return done == text.size();
}

void Child::closeStdin() {
    closeFd(m_stdin);
}

int exitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

RunResult run(ChildOptions options, milliseconds deadline) {
    options.pipeStdout = options.pipeStderr = true;
    Child child(std::move(options));
    const auto end = Clock::now() + deadline;
    RunResult r;
    // Standard error is read after standard output closes; a pipe holds 64 KiB, which is
    // plenty for the tools the tests run.
    r.out = child.readAll(Child::Stream::Stdout, deadline);
    r.err = child.readAll(Child::Stream::Stderr, std::max(milliseconds(0), deadline / 10));
    const auto status =
        child.waitExit(std::chrono::duration_cast<milliseconds>(end - Clock::now()));
    r.exitCode = status ? exitCode(*status) : -1;
    return r;
}

RunResult run(const std::vector<std::string>& argv, milliseconds deadline) {
    ChildOptions o;
    o.argv = argv;
    return run(std::move(o), deadline);
}

EventPipe::EventPipe() {
    if (::pipe2(m_fds, O_CLOEXEC) != 0)
        throw systemError("pipe");
}

EventPipe::~EventPipe() {
    closeFd(m_fds[0]);
    closeFd(m_fds[1]);
}

void EventPipe::post(char event) const {
    while (::write(m_fds[1], &event, 1) < 0 && errno == EINTR) {
    }
}

std::optional<char> EventPipe::wait(milliseconds deadline) const {
    const auto end = Clock::now() + deadline;
    pollfd p{m_fds[0], POLLIN, 0};
    int r = 0;
    while ((r = ::poll(&p, 1, msLeft(end))) < 0 && errno == EINTR) {
    }
    char c = 0;
    return r == 1 && ::read(m_fds[0], &c, 1) == 1 ? std::optional(c) : std::nullopt;
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
    std::vector<std::vector<std::string>> steps = {
        {"netns", "add", m_a},
        {"netns", "add", m_b},
        {"link", "add", m_ifA, "netns", m_a, "type", "veth", "peer", "name", m_ifB, "netns", m_b},
        {"-n", m_a, "link", "set", "lo", "up"},
        {"-n", m_b, "link", "set", "lo", "up"},
        {"-n", m_a, "addr", "add", std::string(kAddrA) + "/24", "dev", m_ifA},
        {"-n", m_b, "addr", "add", std::string(kAddrB) + "/24", "dev", m_ifB},
    };
    for (const auto& ns : {m_a, m_b}) {
        if (ipv6) {
            const bool a = ns == m_a;
            steps.push_back({"-n", ns, "addr", "add", std::string(a ? kAddr6A : kAddr6B) + "/64",
                             "dev", a ? m_ifA : m_ifB, "nodad"});
        } else {
            // Before the links come up; -e: a kernel without IPv6 is just as quiet.
            steps.push_back({"netns", "exec", ns, "sysctl", "-qew",
                             "net.ipv6.conf.all.disable_ipv6=1",
                             "net.ipv6.conf.default.disable_ipv6=1"});
        }
    }
    steps.push_back({"-n", m_a, "link", "set", m_ifA, "up"});
    steps.push_back({"-n", m_b, "link", "set", m_ifB, "up"});
    for (auto& step : steps) {
        step.insert(step.begin(), "ip");
        if (const RunResult r = run(step); r.exitCode != 0) {
            for (const auto& word : step)
                m_why += word + " ";
            m_why += "failed: " + r.err;
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
    ChildOptions o;
    o.argv = {"cat", "/proc/net/dev"};
    o.netns = netns;
    const RunResult r = run(std::move(o));
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
    ChildOptions o;
    o.argv = {"Xvfb",    "-displayfd", "3",           "-nolisten", "tcp",
              "-screen", "0",          "1440x900x24", "-noreset"};
    o.extraFd = 3;
    o.netns = netns;
    o.logFile = logFile;
    m_child = std::make_unique<Child>(std::move(o));
    // Xvfb writes the number once it accepts clients.
    const auto number = m_child->readLine(60s, Child::Stream::Extra);
    if (number && !number->empty())
        m_display = ":" + *number;
}

std::string XServer::why() const {
    if (!m_child)
        return "Xvfb is not installed";
    return "Xvfb did not start: " + (m_log.empty() ? std::string() : tail(m_log));
}

RunResult XServer::xdo(std::vector<std::string> args) const {
    args.insert(args.begin(), "xdotool");
    return run(std::move(args));
}

RunResult XServer::run(std::vector<std::string> argv) const {
    ChildOptions o;
    o.argv = std::move(argv);
    o.env = {"DISPLAY=" + m_display};
    o.netns = m_netns;
    return qftest::run(std::move(o));
}

std::vector<std::string> XServer::search(std::vector<std::string> args, bool hiddenToo) const {
    if (!hiddenToo)
        args.insert(args.begin(), "--onlyvisible");
    args.insert(args.begin(), "search");
    std::istringstream in(xdo(std::move(args)).out);
    std::vector<std::string> ids;
    for (std::string id; in >> id;)
        ids.push_back(id);
    return ids;
}

std::vector<std::string> XServer::windowsOf(pid_t pid) const {
    return search({"--pid", std::to_string(pid)});
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
    if (here.rfind("X=" + std::to_string(x) + "\nY=" + std::to_string(y) + "\n", 0) == 0)
        return true;
    return xdo({"mousemove", "--sync", std::to_string(x), std::to_string(y)}).exitCode == 0;
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
    std::vector<std::string> env = {
        "HOME=" + (root() / "home").string(),
        "XDG_CONFIG_HOME=" + (root() / "config").string(),
        "XDG_DATA_HOME=" + (root() / "data").string(),
        "XDG_CACHE_HOME=" + (root() / "cache").string(),
        "XDG_RUNTIME_DIR=" + runtimeDir().string(),
        "TMPDIR=" + (root() / "tmp").string(),
        "PATH=/usr/local/bin:/usr/bin:/bin",
        "LANG=C.UTF-8",
        "QT_QPA_PLATFORM=xcb",
    };
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
    ChildOptions o;
    o.argv = std::move(argv);
    o.env = env();
    o.clearEnv = true;
    o.logFile = logName.empty() ? fs::path() : log(logName);
    return o;
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
    ChildOptions o = options(
        {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=3"}, "dbus");
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
    ChildOptions o;
    o.argv = {generatorPath().string(), "serve", address};
    o.netns = netns;
    o.pipeStdout = true;
    o.logFile = logFile;
    m_child = std::make_unique<Child>(std::move(o));
    const auto line = m_child->readLine(60s);
    if (line && line->rfind("listening ", 0) == 0)
        m_port = static_cast<std::uint16_t>(std::atoi(line->c_str() + 10));
}

std::string TrafficServer::why() const {
    return "the traffic server did not start: " + (m_log.empty() ? std::string() : tail(m_log));
}

TrafficClient::TrafficClient(const std::string& netns, const std::string& name,
                             const std::vector<Target>& targets, std::uint64_t up,
                             std::uint64_t down, const fs::path& logFile) {
    ChildOptions o;
    o.argv = {generatorPath().string(), "client", name, std::to_string(up), std::to_string(down)};
    o.netns = netns;
    o.pipeStdin = o.pipeStdout = true;
    o.logFile = logFile;
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
    if (!done ||
        std::sscanf(done->c_str(), "done %" SCNu64 " %" SCNu64, &moved.first, &moved.second) != 2)
        return std::nullopt;
    return moved;
}

bool TrafficClient::command(const std::string& line, const std::string& answer) {
    return m_child->writeStdin(line + "\n") && m_child->readLine() == answer;
}

int TrafficClient::finish() {
    m_child->closeStdin();
    return exitCode(m_child->waitExit().value_or(-1));
}

} // namespace qftest
