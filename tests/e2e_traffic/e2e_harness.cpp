#include "e2e_harness.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace e2e {

namespace {

constexpr const char* kNsPrefix = "qfe2e-";
constexpr const char* kTempPrefix = "qf-e2e-";

// argv/envp for execve, built before fork so the child only calls async-signal-safe functions.
struct CStrings {
    std::vector<std::string> storage;
    std::vector<char*> ptrs;
    explicit CStrings(std::vector<std::string> s) : storage(std::move(s)) {
        for (auto& x : storage) {
            ptrs.push_back(x.data());
        }
        ptrs.push_back(nullptr);
    }
};

std::string findOnPath(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return ::access(name.c_str(), X_OK) == 0 ? name : std::string();
    }
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    dirs += ":/usr/local/sbin:/usr/sbin:/sbin";
    std::stringstream ss(dirs);
    std::string dir;
    while (std::getline(ss, dir, ':')) {
        if (dir.empty()) {
            continue;
        }
        const std::string candidate = dir + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// Appends what is ready on fd to buf; false once the writer has closed it.
bool drain(int fd, std::string& buf) {
    char tmp[4096];
    const ssize_t n = ::read(fd, tmp, sizeof tmp);
    if (n > 0) {
        buf.append(tmp, static_cast<std::size_t>(n));
        return true;
    }
    return n < 0 && (errno == EINTR || errno == EAGAIN);
}

} // namespace

bool haveProgram(const std::string& name) {
    return !findOnPath(name).empty();
}

RunResult run(const std::vector<std::string>& argv, milliseconds timeout) {
    RunResult result;
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        return result;
    }
    const std::string exe = findOnPath(argv.at(0));
    CStrings args(argv);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(outPipe[1], STDOUT_FILENO);
        ::dup2(errPipe[1], STDERR_FILENO);
        const int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, STDIN_FILENO);
        ::execv(exe.c_str(), args.ptrs.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (pid < 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        return result;
    }
    const auto deadline = Clock::now() + timeout;
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        if (outOpen && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            outOpen = drain(outPipe[0], result.out);
        }
        if (errOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            errOpen = drain(errPipe[0], result.err);
        }
    }
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TempDir::TempDir() {
    std::string tmpl = "/tmp/" + std::string(kTempPrefix) + std::to_string(::getpid()) + "-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    }
    m_path = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

Child::Child(const Options& options) {
    int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1}, extraPipe[2] = {-1, -1};
    if (options.pipeStdin && ::pipe2(inPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (options.pipeStdout && ::pipe2(outPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (options.extraWriteFd >= 0 && ::pipe2(extraPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const std::string exe = findOnPath(options.argv.at(0));
    if (exe.empty()) {
        throw std::runtime_error("not found: " + options.argv.at(0));
    }
    CStrings args(options.argv);
    std::vector<std::string> envStrings = options.env;
    if (envStrings.empty()) {
        for (char** e = environ; *e != nullptr; ++e) {
            envStrings.emplace_back(*e);
        }
    }
    CStrings envp(envStrings);
    const std::string log = options.logFile.empty() ? "/dev/null" : options.logFile.string();

    const pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid == 0) {
        // Its own process group, so a terminal's Ctrl-C aimed at the test run does not race
        // the test's own signals to the program.
        ::setpgid(0, 0);
        // Should the test itself be killed (a CTest timeout), nothing it started outlives it:
        // the signal survives the exec that `ip netns exec` performs.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        const int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        ::dup2(options.pipeStdin ? inPipe[0] : devnull, STDIN_FILENO);
        ::dup2(options.pipeStdout ? outPipe[1] : logFd, STDOUT_FILENO);
        ::dup2(logFd, STDERR_FILENO);
        if (options.extraWriteFd >= 0) {
            // dup2 clears close-on-exec on the copy.
            ::dup2(extraPipe[1], options.extraWriteFd);
        }
        // Undo the test runner's signal setup: the program must see the default dispositions.
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(exe.c_str(), args.ptrs.data(), envp.ptrs.data());
        ::_exit(127);
    }
    closeFd(inPipe[0]);
    closeFd(outPipe[1]);
    closeFd(extraPipe[1]);
    m_stdin = inPipe[1];
    m_stdout = outPipe[0];
    m_extra = extraPipe[0];
    if (m_pid < 0) {
        closeFd(m_stdin);
        closeFd(m_stdout);
        closeFd(m_extra);
        throw std::runtime_error("fork failed");
    }
}

Child::~Child() {
    if (running()) {
        ::kill(m_pid, SIGKILL);
        waitExit(milliseconds(5000));
    }
    closeFd(m_stdin);
    closeFd(m_stdout);
    closeFd(m_extra);
}

bool Child::running() {
    if (m_pid <= 0 || m_status) {
        return false;
    }
    int status = 0;
    const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
        m_status = status;
        return false;
    }
    return r == 0;
}

std::optional<int> Child::waitExit(milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (running()) {
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    return m_status;
}

void Child::signal(int sig) {
    if (running()) {
        ::kill(m_pid, sig);
    }
}

std::optional<std::string> Child::readLine(milliseconds timeout, bool fromExtra) {
    const int fd = fromExtra ? m_extra : m_stdout;
    std::string& buf = fromExtra ? m_extraBuf : m_buf;
    const auto deadline = Clock::now() + timeout;
    while (true) {
        const auto nl = buf.find('\n');
        if (nl != std::string::npos) {
            std::string line = buf.substr(0, nl);
            buf.erase(0, nl + 1);
            return line;
        }
        if (fd < 0) {
            return std::nullopt;
        }
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno != EINTR) {
            return std::nullopt;
        }
        if (r > 0 && !drain(fd, buf)) {
            if (buf.find('\n') == std::string::npos) {
                return std::nullopt;
            }
        }
    }
}

bool Child::writeStdin(const std::string& text) {
    if (m_stdin < 0) {
        return false;
    }
    // The reader may be gone; a broken pipe must fail the write, not kill the test.
    ::signal(SIGPIPE, SIG_IGN);
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(m_stdin, p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

void Child::closeStdin() {
    closeFd(m_stdin);
}

std::string describeStatus(int status) {
    if (WIFEXITED(status)) {
        return "exited with " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return "killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
               ::strsignal(WTERMSIG(status)) + ")";
    }
    return "wait status " + std::to_string(status);
}

NetnsPair::NetnsPair(const std::string& tag) {
    // Names carry our pid, so parallel runs never meet and leftovers can be told apart.
    const std::string id = std::to_string(::getpid()) + "-" + tag;
    m_a = kNsPrefix + id + "-a";
    m_b = kNsPrefix + id + "-b";
    // Interface names are limited to 15 characters.
    static int serial = 0;
    const std::string shortId =
        std::to_string(::getpid() % 100000) + "x" + std::to_string(serial++);
    m_vethA = "qa" + shortId;
    m_vethB = "qb" + shortId;

    if (!step({"ip", "netns", "add", m_a})) {
        return;
    }
    m_createdA = true;
    if (!step({"ip", "netns", "add", m_b})) {
        return;
    }
    m_createdB = true;
    for (const auto& ns : {m_a, m_b}) {
        // Without IPv6 the new link sends no router solicitations or DAD probes of its own,
        // so the only bytes on the wire are the ones a test moves. Kernels without IPv6
        // have no such switch, which is just as quiet.
        run({"ip", "netns", "exec", ns, "sh", "-c",
             "for f in /proc/sys/net/ipv6/conf/default/disable_ipv6 "
             "/proc/sys/net/ipv6/conf/all/disable_ipv6; do [ -w $f ] && echo 1 > $f; done; "
             "true"});
    }
    m_ok = step({"ip", "link", "add", m_vethA, "netns", m_a, "type", "veth", "peer", "name",
                 m_vethB, "netns", m_b}) &&
           step({"ip", "-n", m_a, "link", "set", "lo", "up"}) &&
           step({"ip", "-n", m_b, "link", "set", "lo", "up"}) &&
           step({"ip", "-n", m_a, "addr", "add", std::string(kAddressA) + "/30", "dev", m_vethA}) &&
           step({"ip", "-n", m_b, "addr", "add", std::string(kAddressB) + "/30", "dev", m_vethB}) &&
           step({"ip", "-n", m_a, "link", "set", m_vethA, "up"}) &&
           step({"ip", "-n", m_b, "link", "set", m_vethB, "up"});
}

NetnsPair::~NetnsPair() {
    // Deleting a namespace takes its end of the veth pair with it.
    if (m_createdA) {
        run({"ip", "netns", "del", m_a});
    }
    if (m_createdB) {
        run({"ip", "netns", "del", m_b});
    }
}

bool NetnsPair::step(const std::vector<std::string>& argv) {
    const RunResult r = run(argv);
    if (r.exitCode != 0) {
        std::string cmd;
        for (const auto& a : argv) {
            cmd += a + " ";
        }
        m_error = cmd + "failed: " + r.err;
        return false;
    }
    return true;
}

std::vector<std::string> NetnsPair::inA(std::vector<std::string> argv) const {
    argv.insert(argv.begin(), {"ip", "netns", "exec", m_a});
    return argv;
}

std::vector<std::string> NetnsPair::inB(std::vector<std::string> argv) const {
    argv.insert(argv.begin(), {"ip", "netns", "exec", m_b});
    return argv;
}

std::optional<Counters> NetnsPair::countersA() const {
    // Every interface except loopbacks (type 772), as the program sums them.
    const RunResult r = run(inA({"sh", "-c",
                                 "cd /sys/class/net && for d in *; do echo \"$d $(cat $d/type) "
                                 "$(cat $d/statistics/rx_bytes) $(cat $d/statistics/tx_bytes)\"; "
                                 "done"}));
    if (r.exitCode != 0) {
        return std::nullopt;
    }
    Counters c;
    std::istringstream in(r.out);
    std::string name;
    int type = 0;
    std::uint64_t rx = 0, tx = 0;
    bool any = false;
    while (in >> name >> type >> rx >> tx) {
        if (type == 772) {
            continue;
        }
        c.rx += rx;
        c.tx += tx;
        any = true;
    }
    if (!any) {
        return std::nullopt;
    }
    return c;
}

std::vector<pid_t> NetnsPair::pidsInA() const {
    std::vector<pid_t> pids;
    const RunResult r = run({"ip", "netns", "pids", m_a});
    std::istringstream in(r.out);
    pid_t p;
    while (in >> p) {
        pids.push_back(p);
    }
    return pids;
}

void NetnsPair::removeStale() {
    const RunResult r = run({"ip", "netns", "list"});
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        const std::string name = line.substr(0, line.find(' '));
        if (name.rfind(kNsPrefix, 0) != 0) {
            continue;
        }
        const std::string rest = name.substr(std::strlen(kNsPrefix));
        const pid_t owner = static_cast<pid_t>(std::atol(rest.c_str()));
        if (owner > 0 && !processAlive(owner)) {
            run({"ip", "netns", "del", name});
        }
    }
    // Temporary directories carry the owner's pid the same way.
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/tmp", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(kTempPrefix, 0) != 0) {
            continue;
        }
        const pid_t owner = static_cast<pid_t>(std::atol(name.c_str() + std::strlen(kTempPrefix)));
        if (owner > 0 && !processAlive(owner)) {
            std::filesystem::remove_all(entry.path(), ec);
        }
    }
}

bool processAlive(pid_t pid) {
    if (pid == ::getpid()) {
        return true;
    }
    // A killed test run whose parent is gone can linger as a zombie; it owns nothing any more.
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) {
        return false;
    }
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

std::string processName(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

} // namespace e2e
