#pragma once

// A cgroup of the test's own and the counting service started on it, shared by the service's
// end-to-end test and its benchmark. Needs root, cgroup v2 and BPF; each reports why not.

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

namespace qfnetd_test {

using namespace qftest;

inline const fs::path kService = buildDir() / "tools/netd/quillfern-netd";

// A cgroup of our own under the v2 tree, removed (once empty) on destruction.
class TestCgroup {
public:
    TestCgroup() {
        const std::string root = qfnetd::defaultCgroup();
        if (::geteuid() != 0 || root.empty()) {
            m_why =
                root.empty() ? "no cgroup v2 hierarchy mounted" : "needs root for cgroups and BPF";
            return;
        }
        static int serial = 0;
        m_path = fs::path(root) /
                 ("qf-netd-test-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
        if (::mkdir(m_path.c_str(), 0755) != 0) {
            m_why = "cannot create a cgroup: " + std::string(std::strerror(errno));
            m_path.clear();
        }
        // Where this process started, to go back to.
        std::ifstream in("/proc/self/cgroup");
        m_home = root;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("0::", 0) == 0)
                m_home = fs::path(root) / line.substr(4);
        }
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
    bool ready() const { return !m_path.empty(); }
    const std::string& why() const { return m_why; }
    const fs::path& path() const { return m_path; }
    // Moves this test process in (so the children it starts now are inside) or back out.
    bool enter() { return move(m_path); }
    bool leave() { return move(m_home); }

private:
    static bool move(const fs::path& dir) {
        std::ofstream out(dir / "cgroup.procs");
        out << ::getpid() << std::flush;
        return bool(out);
    }
    fs::path m_path, m_home;
    std::string m_why;
};

// The service in namespace A on the test's cgroup; ready once it says it is answering.
struct Service {
    TempDir dir;
    std::string socket;
    std::unique_ptr<Child> child;
    std::string skipWhy, failWhy;

    Service(const NetnsPair& net, const TestCgroup& cg, std::vector<std::string> extra = {}) {
        socket = (dir / "netd.sock").string();
        ChildOptions o;
        o.argv = {kService.string(), "--cgroup", cg.path().string(), "--socket", socket};
        o.argv.insert(o.argv.end(), extra.begin(), extra.end());
        o.netns = net.a();
        o.pipeStderr = true;
        child = std::make_unique<Child>(std::move(o));
        const auto line = child->readLine(60s, Child::Stream::Stderr);
        if (line && line->find("answering on") != std::string::npos)
            return;
        const std::string said = line.value_or("(nothing)");
        // A kernel or environment without BPF for cgroups is a reason to skip, not a fault.
        if (said.find("cannot load") != std::string::npos ||
            said.find("too old") != std::string::npos)
            skipWhy = "the counting service cannot run here: " + said;
        else
            failWhy = said;
    }
    std::optional<qfnetd::View> ask() const { return qfnetd::askService(socket); }
    // A line of the service's /proc status, in kB ("VmHWM:" is its peak memory).
    std::uint64_t statusKb(const char* key) const {
        const std::string status = slurp("/proc/" + std::to_string(child->pid()) + "/status");
        const auto at = status.find(key);
        return at == std::string::npos ? 0 : std::stoull(status.substr(at + std::strlen(key)));
    }
};

// A connection to the service's socket, as whoever calls it; -1 when refused.
inline int connectTo(const std::string& socket) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    socket.copy(a.sun_path, sizeof a.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
        return fd;
    ::close(fd);
    return -1;
}

// Where the tests' datagrams go: a port in namespace B.
inline sockaddr_in udpTarget() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(7100);
    ::inet_pton(AF_INET, NetnsPair::kAddrB, &a.sin_addr);
    return a;
}

// Opens a socket, sends `bytes` in one datagram unless 0, and closes it.
inline void sendDatagram(std::size_t bytes) {
    static char buf[1500];
    const sockaddr_in to = udpTarget();
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (bytes > 0)
        ::sendto(s, buf, std::min(bytes, sizeof buf), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
    ::close(s);
}

// In namespace B, a bound socket that never reads, so datagrams to it draw no refusals.
inline std::unique_ptr<Child> udpSink(const NetnsPair& net) {
    ChildOptions o;
    o.netns = net.b();
    o.extraFd = 3;
    o.body = [] {
        const sockaddr_in a = udpTarget();
        const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
            ::write(3, "r\n", 2) != 2)
            return 1;
        for (;;)
            ::pause();
    };
    auto sink = std::make_unique<Child>(std::move(o));
    return sink->readLine(30s, Child::Stream::Extra) ? std::move(sink) : nullptr;
}

// One user's attack on the service, as a table row: processes started first, connections
// that keep writing `request` without reading (or say nothing), processes kept coming.
struct Attack {
    const char* what;
    int users;       // hostile ids from 65534 down, or a range of subordinate ids
    int connections; // per id
    int processes;   // each opens a socket, sends a datagram when `sends`, and ends
    bool sends;
    std::string request;
    bool churn = false; // keeps starting such processes while root asks
};

inline std::vector<Attack> attacks() {
    std::string pipelined;
    for (int i = 0; i < 8000; ++i)
        pipelined += "TOTALS\n";
    return {{"streams requests without reading", 1, 8, 0, false, "TOTALS\n"},
            {"pipelines 8,000 requests after thousands of silent processes", 1, 1, 3000, false,
             pipelined},
            {"grows its own answer, then writes 511 bytes at a time", 1, 8, 3000, true,
             pipelined.substr(0, 511)},
            {"starts processes that each send a datagram, without pause", 1, 0, 0, true, "", true},
            {"eight ids of one range hold eight silent connections each", 8, 8, 0, false, ""}};
}

// The hostile processes of one attack, in the cgroup, each as its own id; ready once they
// are all in place.
inline std::vector<std::unique_ptr<Child>> launch(const Attack& at, TestCgroup& cg,
                                                  const std::string& socket) {
    std::vector<std::unique_ptr<Child>> hostile;
    cg.enter();
    for (int u = 0; u < at.users; ++u) {
        ChildOptions o;
        o.uid = o.gid = at.users == 1 ? 65534u : 200000u + unsigned(u);
        o.extraFd = 3;
        o.body = [at, socket] {
            ::signal(SIGCHLD, SIG_IGN); // its processes are reaped as they end
            const auto spawn = [&] {
                if (::vfork() == 0) {
                    ::prctl(PR_SET_NAME, "firefox");
                    sendDatagram(at.sends ? 100 : 0);
                    ::_exit(0);
                }
            };
            for (int i = 0; i < at.processes; ++i)
                spawn();
            std::vector<int> fds;
            for (int i = 0; i < at.connections; ++i)
                fds.push_back(connectTo(socket));
            const timeval limit{0, 100000}; // a blocked write moves on to the next connection
            for (const int fd : fds)
                ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            if (::write(3, "r\n", 2) != 2)
                return 1;
            for (int turn = 0; at.churn && turn < 200000; ++turn)
                spawn();
            while (!at.request.empty()) {
                for (int& fd : fds) {
                    if (::send(fd, at.request.data(), at.request.size(), MSG_NOSIGNAL) < 0 &&
                        errno != EAGAIN) { // let go: it comes back at once
                        ::close(fd);
                        fd = connectTo(socket);
                        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
                    }
                }
            }
            for (;;)
                ::pause();
        };
        hostile.push_back(std::make_unique<Child>(std::move(o)));
    }
    cg.leave();
    return hostile;
}

} // namespace qfnetd_test
