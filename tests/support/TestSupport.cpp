#include "TestSupport.h"

#include <cerrno>
#include <csignal>
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

constexpr const char* kNsPrefix = "qft-";
constexpr const char* kTempPrefix = "qftest-";

int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// argv and envp for execve, built before fork so the child allocates nothing.
struct CStrings {
    std::vector<std::string> storage;
    std::vector<char*> ptrs;
    explicit CStrings(std::vector<std::string> s) : storage(std::move(s)) {
        for (auto& x : storage)
            ptrs.push_back(x.data());
        ptrs.push_back(nullptr);
    }
};

std::vector<std::string> buildEnv(const ChildOptions& o) {
    std::vector<std::string> env;
    if (!o.clearEnv)
        for (char** e = environ; *e != nullptr; ++e)
            env.emplace_back(*e);
    for (const std::string& entry : o.env) {
        const std::string key = entry.substr(0, entry.find('='));
        std::erase_if(env, [&](const std::string& e) { return e.substr(0, e.find('=')) == key; });
        if (entry.find('=') != std::string::npos)
            env.push_back(entry);
    }
    return env;
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
static fs::path generatorPath() {
    return buildDir() / "tests/support/qf-traffic";
}

static std::string findProgram(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return ::access(name.c_str(), X_OK) == 0 ? name : std::string();
    const char* path = std::getenv("PATH");
    std::stringstream dirs(std::string(path ? path : "/usr/local/bin:/usr/bin:/bin") +
                           ":/usr/local/sbin:/usr/sbin:/sbin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0)
            return dir + "/" + name;
    return {};
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
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string tail(const fs::path& file, std::size_t maxBytes) {
    const std::string s = slurp(file);
    return s.size() > maxBytes ? "..." + s.substr(s.size() - maxBytes) : s;
}

TempDir::TempDir() {
    std::string tmpl = "/tmp/" + std::string(kTempPrefix) + std::to_string(::getpid()) + "-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
    m_path = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

Child::Child(ChildOptions o) {
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1}, extra[2] = {-1, -1};
    if ((o.pipeStdin && ::pipe2(in, O_CLOEXEC) != 0) ||
        (o.pipeStdout && ::pipe2(out, O_CLOEXEC) != 0) ||
        (o.pipeStderr && ::pipe2(err, O_CLOEXEC) != 0) ||
        (o.extraFd >= 0 && ::pipe2(extra, O_CLOEXEC) != 0))
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    std::string exe;
    if (!o.argv.empty()) {
        exe = findProgram(o.argv.front());
        if (exe.empty())
            throw std::runtime_error("not found: " + o.argv.front());
    } else if (!o.body) {
        throw std::runtime_error("a child needs argv or a body");
    }
    CStrings args(o.argv);
    CStrings envp(buildEnv(o));
    const std::string log = o.logFile.empty() ? "/dev/null" : o.logFile.string();
    const std::string nsPath = o.netns.empty() ? std::string() : "/run/netns/" + o.netns;

    const pid_t parent = ::getpid();
    m_pid = ::fork();
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
        if (!nsPath.empty()) {
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
        ::execve(exe.c_str(), args.ptrs.data(), envp.ptrs.data());
        ::_exit(127);
    }
    for (int* fd : {&in[0], &out[1], &err[1], &extra[1]})
        closeFd(*fd);
    m_stdin = in[1];
    m_out.fd = out[0];
    m_err.fd = err[0];
    m_extra.fd = extra[0];
    if (m_pid < 0) {
        for (int* fd : {&m_stdin, &m_out.fd, &m_err.fd, &m_extra.fd})
            closeFd(*fd);
        throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
    }
    m_pidfd = static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0));
}

Child::~Child() {
    kill();
    for (int* fd : {&m_stdin, &m_out.fd, &m_err.fd, &m_extra.fd, &m_pidfd})
        closeFd(*fd);
}

bool Child::running() {
    if (m_pid <= 0 || m_status)
        return false;
    int status = 0;
    const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
        m_status = status;
        return false;
    }
    return r == 0;
}

std::optional<int> Child::waitExit(milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    while (running()) {
        if (Clock::now() >= end)
            return std::nullopt;
        if (m_pidfd >= 0) {
            pollfd p{m_pidfd, POLLIN, 0};
            ::poll(&p, 1, msLeft(end));
        } else {
            std::this_thread::sleep_for(10ms);
        }
    }
    return m_status;
}

void Child::signal(int sig) {
    if (running())
        ::kill(m_pid, sig);
}

void Child::kill() {
    if (m_pid > 0 && !m_status) {
        ::kill(-m_pid, SIGKILL);
        ::kill(m_pid, SIGKILL); // in case it has not made its group yet
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_status = status;
    }
}

Child::Pipe& Child::pipeOf(Stream s) {
    return s == Stream::Stdout ? m_out : s == Stream::Stderr ? m_err : m_extra;
}

bool Child::fill(Pipe& p, Clock::time_point deadline) {
    if (p.fd < 0)
        return false;
    pollfd pfd{p.fd, POLLIN, 0};
    const int r = ::poll(&pfd, 1, msLeft(deadline));
    if (r < 0)
        return errno == EINTR;
    if (r == 0)
        return false;
    char tmp[65536];
    const ssize_t n = ::read(p.fd, tmp, sizeof tmp);
    if (n > 0) {
        p.buf.append(tmp, static_cast<std::size_t>(n));
        return true;
    }
    if (n < 0 && errno == EINTR)
        return true;
    closeFd(p.fd);
    return false;
}

std::optional<std::string> Child::readLine(milliseconds deadline, Stream from) {
    Pipe& p = pipeOf(from);
    const auto end = Clock::now() + deadline;
    for (;;) {
        const auto nl = p.buf.find('\n');
        if (nl != std::string::npos) {
            std::string line = p.buf.substr(0, nl);
            p.buf.erase(0, nl + 1);
            return line;
        }
        if (!fill(p, end))
            return std::nullopt;
    }
}

std::string Child::readAll(Stream from, milliseconds deadline) {
    Pipe& p = pipeOf(from);
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

std::string describeStatus(int status) {
    if (WIFEXITED(status))
        return "exited with " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) {
        return "killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
               ::strsignal(WTERMSIG(status)) + ")";
    }
    return "wait status " + std::to_string(status);
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
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
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
    for (;;) {
        pollfd p{m_fds[0], POLLIN, 0};
        const int r = ::poll(&p, 1, msLeft(end));
        if (r < 0 && errno == EINTR)
            continue;
        char c = 0;
        if (r == 1 && ::read(m_fds[0], &c, 1) == 1)
            return c;
        return std::nullopt;
    }
}

void EventPipe::closeWriter() {
    closeFd(m_fds[1]);
}

bool processAlive(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line))
        return false;
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

std::string processName(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

NetnsPair::NetnsPair(bool ipv6) {
    static int serial = 0;
    const int n = serial++;
    // The test's pid in every name: parallel runs never meet, and leftovers can be told apart.
    const std::string id = std::to_string(::getpid()) + "-" + std::to_string(n);
    m_a = kNsPrefix + id + "-a";
    m_b = kNsPrefix + id + "-b";
    const std::string shortId = std::to_string(::getpid() % 100000) + "x" + std::to_string(n);
    m_ifA = "qt" + shortId + "a"; // interface names hold at most 15 characters
    m_ifB = "qt" + shortId + "b";
    if (::geteuid() != 0) {
        m_why = "needs root to create network namespaces";
        return;
    }
    if (findProgram("ip").empty()) {
        m_why = "the ip program (iproute2) is not installed";
        return;
    }
    if (!step({"ip", "netns", "add", m_a}))
        return;
    m_createdA = true;
    if (!step({"ip", "netns", "add", m_b}))
        return;
    m_createdB = true;
    for (const auto& ns : {m_a, m_b}) {
        const char* v6 = ipv6 ? "0" : "1";
        // Kernels without IPv6 have no such switch, which is just as quiet.
        ChildOptions o;
        o.netns = ns;
        o.argv = {"sh", "-c",
                  std::string("for f in /proc/sys/net/ipv6/conf/default/disable_ipv6 "
                              "/proc/sys/net/ipv6/conf/all/disable_ipv6; do [ -w $f ] && echo ") +
                      v6 + " > $f; done; true"};
        run(std::move(o));
    }
    m_ready = step({"ip", "link", "add", m_ifA, "netns", m_a, "type", "veth", "peer", "name", m_ifB,
                    "netns", m_b}) &&
              step({"ip", "-n", m_a, "link", "set", "lo", "up"}) &&
              step({"ip", "-n", m_b, "link", "set", "lo", "up"}) &&
              step({"ip", "-n", m_a, "addr", "add", std::string(kAddrA) + "/24", "dev", m_ifA}) &&
              step({"ip", "-n", m_b, "addr", "add", std::string(kAddrB) + "/24", "dev", m_ifB}) &&
              (!ipv6 || (step({"ip", "-n", m_a, "addr", "add", std::string(kAddr6A) + "/64", "dev",
                               m_ifA, "nodad"}) &&
                         step({"ip", "-n", m_b, "addr", "add", std::string(kAddr6B) + "/64", "dev",
                               m_ifB, "nodad"}))) &&
              step({"ip", "-n", m_a, "link", "set", m_ifA, "up"}) &&
              step({"ip", "-n", m_b, "link", "set", m_ifB, "up"});
}

NetnsPair::~NetnsPair() {
    // Deleting a namespace takes its end of the veth pair with it.
    if (m_createdA)
        run({"ip", "netns", "del", m_a});
    if (m_createdB)
        run({"ip", "netns", "del", m_b});
}

bool NetnsPair::step(const std::vector<std::string>& argv) {
    const RunResult r = run(argv);
    if (r.exitCode == 0)
        return true;
    m_why.clear();
    for (const auto& a : argv)
        m_why += a + " ";
    m_why += "failed: " + r.err;
    return false;
}

void NetnsPair::removeStale() {
    std::istringstream list(run({"ip", "netns", "list"}).out);
    for (std::string line; std::getline(list, line);) {
        const std::string name = line.substr(0, line.find(' '));
        if (name.rfind(kNsPrefix, 0) == 0) {
            const pid_t owner = std::atoi(name.c_str() + std::strlen(kNsPrefix));
            if (owner > 0 && owner != ::getpid() && !processAlive(owner))
                run({"ip", "netns", "del", name});
        }
    }
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/tmp", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(kTempPrefix, 0) == 0) {
            const pid_t owner = std::atoi(name.c_str() + std::strlen(kTempPrefix));
            if (owner > 0 && owner != ::getpid() && !processAlive(owner))
                fs::remove_all(entry.path(), ec);
        }
    }
}

std::optional<Counters> interfaceCounters(const std::string& netns) {
    // /proc/net belongs to the reading process's namespace.
    ChildOptions o;
    o.argv = {"cat", "/proc/net/dev"};
    o.netns = netns;
    const RunResult r = run(std::move(o));
    if (r.exitCode != 0)
        return std::nullopt;
    std::istringstream in(r.out);
    Counters c;
    bool any = false;
    for (std::string line; std::getline(in, line);) {
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string name = line.substr(0, colon);
        name.erase(0, name.find_first_not_of(' '));
        std::istringstream fields(line.substr(colon + 1));
        std::uint64_t v[9] = {};
        for (auto& x : v)
            fields >> x;
        if (!fields || name == "lo")
            continue;
        c.rx += v[0];
        c.tx += v[8];
        any = true;
    }
    return any ? std::optional(c) : std::nullopt;
}

std::vector<pid_t> pidsIn(const std::string& netns) {
    std::istringstream in(run({"ip", "netns", "pids", netns}).out);
    std::vector<pid_t> pids;
    for (pid_t p; in >> p;)
        pids.push_back(p);
    return pids;
}

XServer::XServer(const std::string& screen, const std::string& netns, const fs::path& logFile)
    : m_log(logFile) {
    if (findProgram("Xvfb").empty())
        return;
    ChildOptions o;
    o.argv = {"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", screen, "-noreset"};
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

std::ostream& operator<<(std::ostream& os, const Geometry& g) {
    return os << g.width << "x" << g.height << "+" << g.x << "+" << g.y;
}

static std::optional<Geometry> parseGeometry(const std::string& shellOutput) {
    Geometry g;
    int seen = 0;
    std::istringstream in(shellOutput);
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq);
        int* field = key == "X"        ? &g.x
                     : key == "Y"      ? &g.y
                     : key == "WIDTH"  ? &g.width
                     : key == "HEIGHT" ? &g.height
                                       : nullptr;
        if (field) {
            *field = std::atoi(line.c_str() + eq + 1);
            ++seen;
        }
    }
    return seen == 4 ? std::optional(g) : std::nullopt;
}

Xdo::Xdo(std::string display, std::string netns)
    : m_display(std::move(display)), m_netns(std::move(netns)) {}

RunResult Xdo::run(std::vector<std::string> args) const {
    ChildOptions o;
    args.insert(args.begin(), "xdotool");
    o.argv = std::move(args);
    o.env = {"DISPLAY=" + m_display};
    o.netns = m_netns;
    return qftest::run(std::move(o));
}

std::vector<std::string> Xdo::search(std::vector<std::string> args, bool hiddenToo) const {
    if (!hiddenToo)
        args.insert(args.begin(), "--onlyvisible");
    args.insert(args.begin(), "search");
    std::istringstream in(run(std::move(args)).out);
    std::vector<std::string> ids;
    for (std::string id; in >> id;)
        ids.push_back(id);
    return ids;
}

std::vector<std::string> Xdo::windowsOf(pid_t pid) const {
    return search({"--pid", std::to_string(pid)});
}

std::optional<Geometry> Xdo::geometry(const std::string& window) const {
    const RunResult r = run({"getwindowgeometry", "--shell", window});
    return r.exitCode == 0 ? parseGeometry(r.out) : std::nullopt;
}

bool Xdo::move(int x, int y) const {
    // --sync waits for the pointer to move, which never happens when it is already there.
    const std::string here = run({"getmouselocation", "--shell"}).out;
    if (here.find("X=" + std::to_string(x) + "\nY=" + std::to_string(y) + "\n") == 0) {
        return true;
    }
    return run({"mousemove", "--sync", std::to_string(x), std::to_string(y)}).exitCode == 0;
}
bool Xdo::down(int button) const {
    return run({"mousedown", std::to_string(button)}).exitCode == 0;
}
bool Xdo::up(int button) const {
    return run({"mouseup", std::to_string(button)}).exitCode == 0;
}
bool Xdo::click(int x, int y, int button) const {
    return move(x, y) && run({"click", std::to_string(button)}).exitCode == 0;
}

bool Xdo::drag(int fromX, int fromY, int toX, int toY, int steps) const {
    if (!move(fromX, fromY) || !down())
        return false;
    for (int i = 1; i <= steps; ++i)
        if (!move(fromX + (toX - fromX) * i / steps, fromY + (toY - fromY) * i / steps))
            return false;
    return up();
}

bool Xdo::key(const std::vector<std::string>& keys) const {
    std::vector<std::string> args = {"key"};
    args.insert(args.end(), keys.begin(), keys.end());
    return run(args).exitCode == 0;
}

Sandbox::Sandbox() {
    for (const char* d : {"home", "config", "data", "cache", "runtime", "tmp"})
        fs::create_directories(root() / d);
    fs::permissions(runtimeDir(), fs::perms::owner_all, fs::perm_options::replace);
}

fs::path Sandbox::configFile() const {
    return root() / "config/Quillfern/Quillfern.conf";
}
fs::path Sandbox::trafficStore() const {
    return root() / "data/Quillfern/traffic.db";
}
fs::path Sandbox::exportHistory() const {
    const fs::path out = root() / "export.json";
    std::error_code ignored;
    fs::remove(out, ignored);
    ChildOptions o;
    o.argv = {programPath().string(), "--export-json", out.string()};
    o.env = env();
    o.clearEnv = true;
    const RunResult r = run(std::move(o));
    return r.exitCode == 0 ? out : fs::path();
}
fs::path Sandbox::autostartEntry() const {
    return root() / "config/autostart/quillfern.desktop";
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

std::unique_ptr<Child> Sandbox::start(std::vector<std::string> argv, const std::string& logName,
                                      const std::string& netns) {
    ChildOptions o;
    o.argv = std::move(argv);
    o.env = env();
    o.clearEnv = true;
    o.netns = netns;
    o.logFile = log(logName);
    return std::make_unique<Child>(std::move(o));
}

std::unique_ptr<Child> Sandbox::launch(const std::string& logName, const std::string& netns) {
    return start({programPath().string()}, logName, netns);
}

bool Sandbox::startSessionBus() {
    if (findProgram("dbus-daemon").empty())
        return false;
    ChildOptions o;
    o.argv = {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=3"};
    o.env = env();
    o.clearEnv = true;
    o.extraFd = 3;
    o.logFile = log("dbus");
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
    for (const auto& t : targets) {
        o.argv.push_back(t.address);
        o.argv.push_back(std::to_string(t.port));
    }
    o.netns = netns;
    o.pipeStdin = o.pipeStdout = true;
    o.logFile = logFile;
    m_child = std::make_unique<Child>(std::move(o));
    m_connected = m_child->readLine(60s) == std::optional<std::string>("connected");
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> TrafficClient::go(milliseconds deadline) {
    if (!m_child->writeStdin("go\n"))
        return std::nullopt;
    const auto done = m_child->readLine(deadline);
    if (!done || done->rfind("done ", 0) != 0)
        return std::nullopt;
    std::istringstream in(done->substr(5));
    std::uint64_t sent = 0, received = 0;
    in >> sent >> received;
    return std::pair(sent, received);
}

bool TrafficClient::closeConnections() {
    return m_child->writeStdin("close\n") &&
           m_child->readLine() == std::optional<std::string>("closed");
}

bool TrafficClient::rename(const std::string& name) {
    return m_child->writeStdin("rename " + name + "\n") &&
           m_child->readLine() == std::optional<std::string>("renamed");
}

int TrafficClient::finish() {
    m_child->closeStdin();
    const auto status = m_child->waitExit();
    return status ? exitCode(*status) : -1;
}

} // namespace qftest
