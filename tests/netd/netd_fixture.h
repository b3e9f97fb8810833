#pragma once

// A cgroup of the test's own, namespaces, and the counting service started on them, shared by
// the service's end-to-end test and its benchmark; and the attacks on it, as a table. Needs
// root, cgroup v2 and BPF; each part reports why not.

#include "TestSupport.h"
#include "netd_client.h"
#include "netd_system.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace qfnetd_test {

using namespace qftest;

// QUILLFERN_NETD_UNDER_TEST names another build of the service (a benchmark's "before").
inline const fs::path kService = std::getenv("QUILLFERN_NETD_UNDER_TEST")
                                     ? fs::path(std::getenv("QUILLFERN_NETD_UNDER_TEST"))
                                     : buildDir() / "tools/netd/quillfern-netd";

// A cgroup of our own under the v2 tree (or under `parent`, as `name`), removed (once empty) on
// destruction.
class TestCgroup {
public:
    explicit TestCgroup(const fs::path& parent = {}, const std::string& name = {}) {
        static int serial = 0;
        const std::string root = qfnetd::defaultCgroup();
        if (::geteuid() != 0 || root.empty()) {
            m_why =
                root.empty() ? "no cgroup v2 hierarchy mounted" : "needs root for cgroups and BPF";
            return;
        }
        m_path = parent.empty() ? fs::path(root) / ("qf-netd-test-" + std::to_string(::getpid()) +
                                                    "-" + std::to_string(++serial))
                                : parent / name;
        if (::mkdir(m_path.c_str(), 0755) != 0) {
            m_why = "cannot create a cgroup: " + std::string(std::strerror(errno));
            m_path.clear();
        }
        // Where this process started, to go back to: the unified hierarchy's line, "0::/path".
        const std::string self = slurp("/proc/self/cgroup");
        const auto at = self.find("0::/");
        m_home = fs::path(root) /
                 (at == self.npos ? "" : self.substr(at + 4, self.find('\n', at) - at - 4));
    }
    ~TestCgroup() {
        if (m_path.empty())
            return;
        leave(); // a failed assertion may have left this process inside
        // The kernel lets go of an ended member a little after it has been reaped.
        waitUntil([&] {
            return slurp(m_path / "cgroup.events").find("populated 0") != std::string::npos;
        });
        ::rmdir(m_path.c_str());
    }
    const std::string& why() const { return m_why; }
    const fs::path& path() const { return m_path; }
    // Moves this test process in (so the children it starts now are inside) or back out.
    bool enter() { return move(m_path); }
    bool leave() { return move(m_home); }

private:
    static bool move(const fs::path& dir) {
        return bool(std::ofstream(dir / "cgroup.procs") << ::getpid() << std::flush);
    }
    fs::path m_path, m_home;
    std::string m_why;
};

// Where the tests' datagrams go: a port in namespace B.
inline sockaddr_in udpTarget() {
    sockaddr_in a{AF_INET, htons(7100), {}, {}};
    ::inet_pton(AF_INET, NetnsPair::kAddrB, &a.sin_addr);
    return a;
}

// Opens a socket, sends `bytes` in one datagram unless 0, and closes it.
inline bool sendDatagram(std::size_t bytes) {
    static char buf[1500];
    const sockaddr_in to = udpTarget();
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool sent =
        bytes == 0 || ::sendto(s, buf, bytes, 0, reinterpret_cast<const sockaddr*>(&to),
                               sizeof to) == ssize_t(bytes);
    ::close(s);
    return sent;
}

// The cgroup, the namespaces, a socket in B that takes datagrams and never reads them, and,
// once started, the service in namespace A on the cgroup, reachable by every user.
struct Rig {
    TestCgroup cg;
    NetnsPair net;
    std::unique_ptr<Child> sink, service;
    TempDir dir;
    std::string socket = (dir / "netd.sock").string();
    std::string skip, fail, said;

    Rig() {
        skip = fs::exists(kService) ? cg.why() + net.why() : "quillfern-netd is not built";
        if (!skip.empty())
            return;
        const auto take = [] {
            const sockaddr_in a = udpTarget();
            const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
            return ::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
                           ::write(3, "r\n", 2) != 2
                       ? 1
                       : ::pause();
        };
        sink = std::make_unique<Child>(ChildOptions{.body = take, .netns = net.b(), .extraFd = 3});
        skip = sink->readLine(30s, Child::Stream::Extra) ? "" : "no datagram sink in namespace B";
        fs::permissions(dir.path(), fs::perms::others_exec, fs::perm_options::add);
    }
    // Ready once the service says it is answering; otherwise skip or fail say why.
    bool start(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv{kService, "--cgroup", cg.path(), "--socket", socket};
        argv.insert(argv.end(), extra.begin(), extra.end());
        service = std::make_unique<Child>(
            ChildOptions{.argv = argv, .netns = net.a(), .pipeStderr = true});
        said = service->readLine(60s, Child::Stream::Stderr).value_or("(nothing)");
        // A kernel or environment without BPF for cgroups is a reason to skip, not a fault.
        if (said.find("cannot load") != std::string::npos ||
            said.find("too old") != std::string::npos)
            skip = "the counting service cannot run here: " + said;
        else if (said.find("answering on") == std::string::npos)
            fail = said;
        return skip.empty() && fail.empty();
    }
    std::optional<qfnetd::View> ask() const { return qfnetd::askService(socket); }
    // A line of the service's /proc status, in kB ("VmHWM:" is its peak memory).
    std::uint64_t statusKb(const char* key) const {
        const std::string status = slurp("/proc/" + std::to_string(service->pid()) + "/status");
        const auto at = status.find(key);
        return at == std::string::npos ? 0 : std::stoull(status.substr(at + std::strlen(key)));
    }
};

// One attack on the service, as a table row: processes started first (-1: they keep coming
// while root asks), connections that keep writing `request` without reading, or say nothing.
struct Attack {
    const char* what;
    int users;       // 65534 alone, or ids of one subordinate range
    int connections; // per id
    int processes;   // each opens a socket, sends a datagram when `sends`, and ends
    bool sends;
    std::string request;
};

inline std::vector<Attack> attacks(int scale = 1) {
    std::string many;
    for (int i = 0; i < 8000; ++i)
        many += "TOTALS\n";
    return {
        {"streams requests without reading", 1, 8, 0, false, "TOTALS\n"},
        {"pipelines 8,000 requests after many silent processes", 1, 1, 3000 * scale, false, many},
        {"grows its own answer, then writes 511 bytes at a time", 1, 8, 3000 * scale, true,
         many.substr(0, 511)},
        {"starts processes that each send a datagram, without pause", 1, 0, -1, true, ""},
        {"eight ids of one range hold eight silent connections each", 8, 8, 0, false, ""}};
}

// The hostile processes of one attack, in the cgroup; each reports once it is in place.
inline std::vector<std::unique_ptr<Child>> launch(const Attack& at, Rig& rig) {
    std::vector<std::unique_ptr<Child>> hostile;
    rig.cg.enter();
    for (int u = 0; u < at.users; ++u) {
        const unsigned id = at.users == 1 ? 65534u : 200000u + unsigned(u);
        const auto body = [at, socket = rig.socket] {
            ::signal(SIGCHLD, SIG_IGN); // its processes are reaped as they end
            const auto connect = [&] {  // when refused, its first send fails and replaces it
                const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_un a{AF_UNIX, {}};
                socket.copy(a.sun_path, sizeof a.sun_path - 1);
                const timeval limit{0, 100000}; // a blocked write moves on to the next one
                ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
                ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
                return fd;
            };
            const auto spawn = [&] {
                if (::vfork() == 0)
                    ::_exit(::prctl(PR_SET_NAME, "firefox") || !sendDatagram(at.sends ? 100 : 0));
            };
            for (int i = 0; i < std::abs(at.processes); ++i)
                spawn();
            std::vector<int> fds(std::size_t(at.connections));
            for (int& fd : fds)
                fd = connect();
            if (::write(3, "r\n", 2) != 2)
                return 1;
            while (at.processes < 0)
                spawn();
            for (std::size_t i = 0; !at.request.empty(); i = (i + 1) % fds.size()) {
                // Let go: it comes back at once.
                if (::send(fds[i], at.request.data(), at.request.size(), MSG_NOSIGNAL) < 0 &&
                    errno != EAGAIN)
                    ::close(std::exchange(fds[i], connect()));
            }
            return ::pause();
        };
        hostile.push_back(std::make_unique<Child>(
            ChildOptions{.body = body, .netns = rig.net.a(), .uid = id, .gid = id, .extraFd = 3}));
    }
    rig.cg.leave();
    return hostile;
}

} // namespace qfnetd_test
