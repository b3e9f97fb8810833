#include "ToolProcess.h"

#include <QElapsedTimer>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// The run is watched by a small guard process of ours, forked without exec, that starts the
// program as the leader of a new process group. Our end of a pipe stays open for as long as
// we want the run: when we close it, or when this process dies in any way (even SIGKILL),
// the guard sees end-of-file and kills the group. When the program exits, the guard kills the
// group too, before reaping the program, so the group's id cannot have been reused by then.
//
// Between fork and exec only async-signal-safe calls are made: the parent may have other
// threads holding locks the child would never see released.

namespace {

// File descriptors inside the guard.
constexpr int kOutFd = 3;  // the write end of the program's standard output
constexpr int kLifeFd = 4; // end-of-file here means: end the run
constexpr int kDoneFd = 5; // the guard's one-byte verdict

// Verdict bytes.
constexpr char kExitedZero = 'S';
constexpr char kExitedOther = 'F';
constexpr char kExecFailed = 'N';
constexpr char kEnded = 'E'; // ended on request; the program's status does not matter

// How often a waiting run looks at the caller's cancel flag.
constexpr int kSliceMs = 50;

bool makePipe(int fds[2]) {
#ifdef __linux__
    return ::pipe2(fds, O_CLOEXEC) == 0;
#else
    if (::pipe(fds) != 0)
        return false;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    return true;
#endif
}

void closeFrom(int lowest) {
#if defined(__linux__) && defined(SYS_close_range)
    if (::syscall(SYS_close_range, lowest, ~0u, 0) == 0)
        return;
#endif
    rlimit limit{};
    int highest = 4096;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        highest = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 65536));
    for (int fd = lowest; fd < highest; ++fd)
        ::close(fd);
}

// The signals the guard ignores: a Ctrl-C or hang-up meant for the program must not take the
// guard down before it has ended the group.
constexpr int kGuardIgnores[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

void setDisposition(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
}

bool writeByte(int fd, char byte) {
    for (;;) {
        const ssize_t n = ::write(fd, &byte, 1);
        if (n == 1)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

pid_t waitChild(pid_t pid, int* status, int flags) {
    pid_t r;
    do {
        r = ::waitpid(pid, status, flags);
    } while (r < 0 && errno == EINTR);
    return r;
}

// True once `tool` has exited, without reaping it.
bool hasExited(pid_t tool) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(tool), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == tool;
}

// Waits until the program exits (true) or the life pipe closes (false).
bool waitToolOrLife(pid_t tool) {
    int pidFd = -1;
#if defined(__linux__) && defined(SYS_pidfd_open)
    pidFd = static_cast<int>(::syscall(SYS_pidfd_open, tool, 0));
#endif
    for (;;) {
        pollfd fds[2] = {{kLifeFd, POLLIN, 0}, {pidFd, POLLIN, 0}};
        // Without a pid descriptor the exit is looked for between short waits.
        const int n = ::poll(fds, pidFd >= 0 ? 2 : 1, pidFd >= 0 ? -1 : kSliceMs);
        if (n < 0 && errno != EINTR)
            return hasExited(tool);
        if (hasExited(tool))
            return true;
        if (n > 0 && fds[0].revents != 0) {
            char byte;
            if (::read(kLifeFd, &byte, 1) <= 0)
                return false;
        }
    }
}

[[noreturn]] void runTool(const char* path, char* const* argv, int execReport) {
    ::setpgid(0, 0);
    for (int signal : kGuardIgnores)
        setDisposition(signal, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::dup2(kOutFd, STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0)
        ::dup2(null, STDERR_FILENO);
    // The exec report pipe is close-on-exec: it closes unread when exec succeeds.
    if (execReport != 3) {
        ::dup2(execReport, 3);
        execReport = 3;
    }
    ::fcntl(execReport, F_SETFD, FD_CLOEXEC);
    closeFrom(4);
    ::execv(path, argv);
    writeByte(execReport, 1);
    ::_exit(127);
}

[[noreturn]] void guardMain(const char* path, char* const* argv, int outWrite, int lifeRead,
                            int doneWrite) {
    // Move the three ends to known numbers (above anything they could collide with first).
    const int out = ::fcntl(outWrite, F_DUPFD, 10);
    const int life = ::fcntl(lifeRead, F_DUPFD, 10);
    const int done = ::fcntl(doneWrite, F_DUPFD, 10);
    if (out < 0 || life < 0 || done < 0)
        ::_exit(1);
    ::dup2(out, kOutFd);
    ::dup2(life, kLifeFd);
    ::dup2(done, kDoneFd);
    // Other runs' pipes must not stay open here, or their guards would never see our
    // parent go.
    closeFrom(kDoneFd + 1);

    // A group of our own: whoever ends the caller's whole group (a terminal, a supervisor)
    // leaves the guard to end the program's group.
    ::setpgid(0, 0);

    // Handlers of the parent would run here on its copies of its descriptors.
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP)
            setDisposition(signal, SIG_DFL);
    }
    for (int signal : kGuardIgnores)
        setDisposition(signal, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    // Above the descriptors the program's standard streams are moved to, even when this
    // process was started with some of them closed.
    int execReport[2];
    if (!makePipe(execReport)) {
        writeByte(kDoneFd, kExecFailed);
        ::_exit(0);
    }
    for (int& fd : execReport) {
        const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
        ::close(fd);
        fd = high;
    }
    const pid_t tool = ::fork();
    if (tool == 0)
        runTool(path, argv, execReport[1]);
    ::close(execReport[1]);
    if (tool < 0) {
        writeByte(kDoneFd, kExecFailed);
        ::_exit(0);
    }
    // Set from both sides, so the group exists before either goes on.
    ::setpgid(tool, tool);
    ::close(kOutFd);

    char failed = 0;
    ssize_t n;
    do {
        n = ::read(execReport[0], &failed, 1);
    } while (n < 0 && errno == EINTR);
    ::close(execReport[0]);

    const bool exited = n == 1 || waitToolOrLife(tool);
    // The program is not reaped yet, so the group's id is still ours to kill.
    ::kill(-tool, SIGKILL);
    int status = 0;
    waitChild(tool, &status, 0);
    char verdict = kEnded;
    if (n == 1)
        verdict = kExecFailed;
    else if (exited)
        verdict = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? kExitedZero : kExitedOther;
    writeByte(kDoneFd, verdict);
    ::_exit(0);
}

struct Fd {
    int fd = -1;
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
};

} // namespace

ToolResult toolRun(const QString& program, const QStringList& arguments, int timeoutMs,
                   qint64 maxOutputBytes, const std::atomic<bool>* cancel) {
    ToolResult result;
    QElapsedTimer clock;
    clock.start();

    // Everything the children use is made before fork.
    const QByteArray path = QFile::encodeName(program);
    std::vector<QByteArray> words{path};
    for (const QString& argument : arguments)
        words.push_back(argument.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    int outPipe[2], lifePipe[2], donePipe[2];
    if (!makePipe(outPipe))
        return result;
    if (!makePipe(lifePipe)) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return result;
    }
    if (!makePipe(donePipe)) {
        for (int fd : {outPipe[0], outPipe[1], lifePipe[0], lifePipe[1]})
            ::close(fd);
        return result;
    }

    // No signal handler of ours may run in the guard before it has reset them.
    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t guard = ::fork();
    if (guard == 0)
        guardMain(path.constData(), argv.data(), outPipe[1], lifePipe[0], donePipe[1]);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    Fd out{outPipe[0]}, life{lifePipe[1]}, done{donePipe[0]};
    for (int fd : {outPipe[1], lifePipe[0], donePipe[1]})
        ::close(fd);
    if (guard < 0)
        return result;

    char verdict = 0;
    ToolEnd stopped = ToolEnd::Success; // why we ended the run, if we did
    bool guardDone = false;
    while (out.fd >= 0 || !guardDone) {
        const qint64 left = timeoutMs - clock.elapsed();
        if (cancel && cancel->load())
            stopped = ToolEnd::Cancelled;
        else if (left <= 0)
            stopped = ToolEnd::TimedOut;
        else if (result.output.size() > maxOutputBytes)
            stopped = ToolEnd::OutputTooLarge;
        if (stopped != ToolEnd::Success)
            break;

        pollfd fds[2] = {{done.fd, POLLIN, 0}, {out.fd, POLLIN, 0}};
        const int ready =
            ::poll(fds, out.fd >= 0 ? 2 : 1, static_cast<int>(std::min<qint64>(left, kSliceMs)));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        if (out.fd >= 0 && fds[1].revents != 0) {
            char buffer[65536];
            const ssize_t n = ::read(out.fd, buffer, sizeof buffer);
            if (n > 0)
                result.output.append(buffer, n);
            else if (n == 0 || errno != EINTR)
                out.reset();
        }
        if (!guardDone && fds[0].revents != 0) {
            // A verdict, or end-of-file from a guard that died without one.
            const ssize_t n = ::read(done.fd, &verdict, 1);
            guardDone = n == 1 || n == 0 || errno != EINTR;
        }
    }
    // Closing our end tells a guard still waiting to end the group; then it reports and exits.
    life.reset();
    out.reset();
    done.reset();
    int status = 0;
    waitChild(guard, &status, 0);

    if (stopped != ToolEnd::Success)
        result.end = stopped;
    else if (verdict == kExitedZero)
        result.end = ToolEnd::Success;
    else if (verdict == kExecFailed)
        result.end = ToolEnd::NotStarted;
    else
        result.end = ToolEnd::Failed;
    return result;
}
