#pragma once

// Two network namespaces joined by a veth pair, and helpers to run code and programs inside
// them. Shared by the end-to-end tests and the benchmark. Needs root; every step reports why it
// could not be done so callers can skip visibly.

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace qfnettop_test {

inline const std::string kTool = QUILLFERN_BINARY_DIR "/tools/nettop/quillfern-nettop";

// A private directory for one test (a runtime directory for the tool's state), removed after.
struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/qf-nettop-XXXXXX";
        if (::mkdtemp(tmpl))
            path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path.empty())
            std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};

inline std::string ipTool() {
    for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
        if (::access(p, X_OK) == 0)
            return p;
    }
    return {};
}

// Runs a program directly (no shell) with stdout and stderr discarded; its exit status or -1.
inline int runQuiet(const std::vector<std::string>& argv) {
    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline bool enterNetns(const std::string& name) {
    const int fd = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::setns(fd, CLONE_NEWNET) == 0;
    ::close(fd);
    return ok;
}

// Namespaces "<tag>a" and "<tag>b" with veth ends 10.<n>.<m>.1 and .2/24.
class VethPair {
public:
    explicit VethPair(const std::string& tag) {
        const unsigned salt = static_cast<unsigned>(::getpid());
        nsA = tag + "a" + std::to_string(salt);
        nsB = tag + "b" + std::to_string(salt);
        const std::string ifA = "qfv" + std::to_string(salt % 100000) + "a";
        const std::string ifB = "qfv" + std::to_string(salt % 100000) + "b";
        addrA = "10.213." + std::to_string(salt % 250) + ".1";
        addrB = "10.213." + std::to_string(salt % 250) + ".2";
        addr6A = "fd13:" + std::to_string(salt % 9999) + "::1";
        addr6B = "fd13:" + std::to_string(salt % 9999) + "::2";
        ifaceA = ifA;
        if (::geteuid() != 0) {
            why = "needs root to create network namespaces";
            return;
        }
        ip = ipTool();
        if (ip.empty()) {
            why = "the ip program (iproute2) is not installed";
            return;
        }
        const std::vector<std::vector<std::string>> steps = {
            {ip, "netns", "add", nsA},
            {ip, "netns", "add", nsB},
            {ip, "link", "add", ifA, "netns", nsA, "type", "veth", "peer", "name", ifB, "netns",
             nsB},
            {ip, "-n", nsA, "addr", "add", addrA + "/24", "dev", ifA},
            {ip, "-n", nsB, "addr", "add", addrB + "/24", "dev", ifB},
            {ip, "-n", nsA, "addr", "add", addr6A + "/64", "dev", ifA, "nodad"},
            {ip, "-n", nsB, "addr", "add", addr6B + "/64", "dev", ifB, "nodad"},
            {ip, "-n", nsA, "link", "set", ifA, "up"},
            {ip, "-n", nsB, "link", "set", ifB, "up"},
            {ip, "-n", nsA, "link", "set", "lo", "up"},
            {ip, "-n", nsB, "link", "set", "lo", "up"},
        };
        for (const auto& s : steps) {
            if (runQuiet(s) != 0) {
                why = "could not set up the veth pair (" + s[1] + " " + s[2] + " " + s[3] + ")";
                return;
            }
        }
        ready = true;
    }
    ~VethPair() {
        if (!ip.empty()) {
            runQuiet({ip, "netns", "del", nsA});
            runQuiet({ip, "netns", "del", nsB});
        }
    }
    VethPair(const VethPair&) = delete;
    VethPair& operator=(const VethPair&) = delete;

    bool ready = false;
    std::string why;
    std::string ip, nsA, nsB, addrA, addrB, addr6A, addr6B, ifaceA;
};

// A forked child inside a namespace, stopped with SIGKILL when this object goes.
class Child {
public:
    Child() = default;
    Child(const std::string& netns, const std::function<int()>& body) {
        pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (!netns.empty() && !enterNetns(netns))
                ::_exit(120);
            ::_exit(body());
        }
    }
    ~Child() { stop(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    Child(Child&& o) noexcept : pid(o.pid) { o.pid = -1; }

    // Waits for the child to end by itself; its exit status, or -1.
    int wait() {
        if (pid <= 0)
            return -1;
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void stop() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            wait();
        }
    }
    pid_t pid = -1;
};

// An IPv4 or IPv6 socket address from its text form.
struct SockAddr {
    sockaddr_storage ss{};
    socklen_t len = 0;
    int family = AF_INET;
    SockAddr(const std::string& addr, std::uint16_t port) {
        if (addr.find(':') != std::string::npos) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
            a->sin6_family = family = AF_INET6;
            a->sin6_port = htons(port);
            ::inet_pton(AF_INET6, addr.c_str(), &a->sin6_addr);
            len = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&ss);
            a->sin_family = AF_INET;
            a->sin_port = htons(port);
            ::inet_pton(AF_INET, addr.c_str(), &a->sin_addr);
            len = sizeof *a;
        }
    }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&ss); }
};

inline bool writeFull(int fd, const char* data, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, data, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

inline bool readFull(int fd, char* data, std::size_t n) {
    while (n > 0) {
        const ssize_t r = ::read(fd, data, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        data += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

inline bool sendBytes(int fd, std::size_t n) {
    static const std::string chunk(64 * 1024, 'q');
    while (n > 0) {
        const std::size_t k = std::min(n, chunk.size());
        if (!writeFull(fd, chunk.data(), k))
            return false;
        n -= k;
    }
    return true;
}

inline bool receiveBytes(int fd, std::size_t n) {
    static char sink[64 * 1024];
    while (n > 0) {
        const std::size_t k = std::min(n, sizeof sink);
        if (!readFull(fd, sink, k))
            return false;
        n -= k;
    }
    return true;
}

// Each connection to this server announces (8 bytes each) how much it will send and how much
// it wants back; the server reads all of it, answers, then waits for the peer to close.
inline int serveForever(const std::string& addr, std::uint16_t port) {
    const SockAddr sa(addr, port);
    const int ls = ::socket(sa.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(ls, sa.get(), sa.len) != 0 || ::listen(ls, 4096) != 0)
        return 1;
    ::signal(SIGCHLD, SIG_IGN); // handlers reap themselves
    for (;;) {
        const int c = ::accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            continue;
        if (::fork() == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::close(ls);
            std::uint64_t sizes[2];
            if (readFull(c, reinterpret_cast<char*>(sizes), sizeof sizes) &&
                receiveBytes(c, sizes[0]) && sendBytes(c, sizes[1])) {
                char b;
                while (::read(c, &b, 1) > 0) {
                }
            }
            ::_exit(0);
        }
        ::close(c);
    }
}

// Connects and moves the given payload both ways (the 16-byte announcement comes on top of
// `send`). Returns the connected socket, or -1.
inline int exchange(const std::string& addr, std::uint16_t port, std::uint64_t send,
                    std::uint64_t receive) {
    const SockAddr sa(addr, port);
    const int s = ::socket(sa.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    for (int attempt = 0; ::connect(s, sa.get(), sa.len) != 0; ++attempt) {
        if (attempt > 200) {
            ::close(s);
            return -1;
        }
        ::usleep(10000); // the server may still be starting
    }
    const std::uint64_t sizes[2] = {send, receive};
    if (!writeFull(s, reinterpret_cast<const char*>(sizes), sizeof sizes) || !sendBytes(s, send) ||
        !receiveBytes(s, receive)) {
        ::close(s);
        return -1;
    }
    return s;
}

struct ToolRun {
    int status = -1;
    std::string out;
};

// Runs a program inside a namespace with extra environment settings, capturing stdout.
// With a uid, the program runs as that user (group the same number), after entering the
// namespace.
inline ToolRun runIn(const std::string& netns, const std::vector<std::string>& argv,
                     const std::vector<std::string>& env = {},
                     std::optional<uid_t> asUser = std::nullopt) {
    ToolRun r;
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0)
        return r;
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!netns.empty() && !enterNetns(netns))
            ::_exit(120);
        if (asUser &&
            (::setgroups(0, nullptr) != 0 || ::setgid(*asUser) != 0 || ::setuid(*asUser) != 0))
            ::_exit(121);
        for (const auto& e : env)
            ::putenv(const_cast<char*>(e.c_str()));
        ::dup2(p[1], 1);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(p[1]);
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(p[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        r.out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(p[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// A one-byte command channel between the test and a child.
struct Signal {
    int fds[2] = {-1, -1};
    Signal() {
        if (::pipe2(fds, O_CLOEXEC) != 0)
            fds[0] = fds[1] = -1;
    }
    ~Signal() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    void post() const {
        char c = 1;
        writeFull(fds[1], &c, 1);
    }
    // Waits at most timeoutMs for the other side's byte.
    bool take(int timeoutMs = 20000) const {
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1)
            return false;
        char c;
        return readFull(fds[0], &c, 1);
    }
};

} // namespace qfnettop_test
