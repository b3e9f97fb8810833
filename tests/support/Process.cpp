#include "Process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/syscall.h>
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

} // namespace

fs::path buildDir() {
    return QUILLFERN_TEST_BINARY_DIR;
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

TempDir::TempDir(fs::perms mode) {
    std::string tmpl = "/tmp/qftest-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr)
        throw systemError("mkdtemp");
    m_path = tmpl;
    fs::permissions(m_path, mode);
}

void Child::closeFd(int& fd) {
    if (fd >= 0)
        ::close(std::exchange(fd, -1));
}

Child::Child(ChildOptions o) {
    std::string exe = o.argv.empty() ? std::string() : findProgram(o.argv.front());
    if (o.argv.empty() ? !o.body : exe.empty())
        throw std::runtime_error("cannot run: " + (o.argv.empty() ? "no argv or body" : o.argv[0]));
    if (o.uid && *o.uid != ::geteuid() && exe.rfind(buildDir().string() + "/", 0) == 0) {
        m_copy = std::make_unique<TempDir>(fs::perms(0755));
        const fs::path copy = *m_copy / fs::path(exe).filename();
        fs::copy_file(exe, copy);
        fs::permissions(copy, fs::perms(0755)); // the build may have been made under umask 077
        exe = copy;
    }
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1}, extra[2] = {-1, -1};
    for (const auto& [wanted, fds] : {std::pair{o.pipeStdin, in},
                                      {o.pipeStdout, out},
                                      {o.pipeStderr, err},
                                      {o.extraFd >= 0, extra}})
        if (wanted && ::pipe2(fds, O_CLOEXEC) != 0)
            throw systemError("pipe");
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

bool Child::fill(std::initializer_list<Pipe*> pipes, Clock::time_point deadline) {
    std::vector<pollfd> fds;
    for (const Pipe* p : pipes)
        fds.push_back({p->fd, POLLIN, 0}); // poll passes over a closed one (-1)
    if (std::all_of(fds.begin(), fds.end(), [](const pollfd& f) { return f.fd < 0; }))
        return false;
    const int r = ::poll(fds.data(), fds.size(), msLeft(deadline));
    if (r <= 0)
        return r < 0 && errno == EINTR;
    char tmp[65536];
    auto f = fds.begin();
    for (Pipe* p : pipes) {
        if ((f++)->revents == 0)
            continue;
        const ssize_t n = ::read(p->fd, tmp, sizeof tmp);
        if (n > 0)
            p->buf.append(tmp, static_cast<std::size_t>(n));
        else
            closeFd(p->fd);
    }
    return true;
}

std::optional<std::string> Child::readLine(milliseconds deadline, Stream from) {
    Pipe& p = m_pipes[static_cast<int>(from)];
    const auto end = Clock::now() + deadline;
    std::size_t nl;
    while ((nl = p.buf.find('\n')) == std::string::npos)
        if (!fill({&p}, end))
            return std::nullopt;
    std::string line = p.buf.substr(0, nl);
    p.buf.erase(0, nl + 1);
    return line;
}

RunResult Child::collect(milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    while (fill({&m_pipes[0], &m_pipes[1]}, end)) {
    }
    const auto status = waitExit(std::chrono::duration_cast<milliseconds>(end - Clock::now()));
    return {status ? exitCode(*status) : -1, m_pipes[0].buf, m_pipes[1].buf};
}

bool Child::writeStdin(const std::string& text) {
    // A reader that is gone must fail the write, not kill the test. Commands are short, so
    // one write takes all of it (a pipe writes up to PIPE_BUF bytes at once).
    ::signal(SIGPIPE, SIG_IGN);
    return m_stdin >= 0 && ::write(m_stdin, text.data(), text.size()) == ssize_t(text.size());
}

RunResult run(ChildOptions options, milliseconds deadline) {
    options.pipeStdout = options.pipeStderr = true;
    return Child(std::move(options)).collect(deadline);
}

} // namespace qftest
