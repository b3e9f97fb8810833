// The counting service against real traffic: its kernel programs on a cgroup this test makes,
// a veth pair between namespaces this test makes, and the tool reading it.

#include "NettopTestSupport.h"
#include "netd_fixture.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>

using namespace qftest;
using namespace qfnetd_test;

namespace {

constexpr std::uint16_t kUdpPort = 7100;
constexpr uid_t kNobody = 65534;

std::uint64_t attributed(const qfnetd::View& v, pid_t pid) {
    for (const auto& p : v.processes) {
        if (p.pid == static_cast<std::uint32_t>(pid))
            return p.bytes.in + p.bytes.out;
    }
    return 0;
}

sockaddr_in udpTarget() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kUdpPort);
    ::inet_pton(AF_INET, NetnsPair::kAddrB, &a.sin_addr);
    return a;
}

// Short-lived sockets, each sending a few datagrams and closed at once. Reports the bytes sent
// on the event descriptor, then waits to be ended so its process and its line stay.
std::unique_ptr<Child> udpSender(const NetnsPair& net, const char* name, int sockets,
                                 std::optional<uid_t> uid = std::nullopt) {
    ChildOptions o;
    o.netns = net.a();
    o.uid = o.gid = uid;
    o.extraFd = 3;
    o.body = [=] {
        ::prctl(PR_SET_NAME, name);
        constexpr std::size_t kSize = 1200;
        static char buf[kSize];
        const sockaddr_in to = udpTarget();
        for (int i = 0; i < sockets; ++i) {
            const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            for (int k = 0; k < 4; ++k) {
                if (::sendto(s, buf, kSize, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) !=
                    ssize_t(kSize))
                    return 3;
            }
            ::close(s);
        }
        const std::string line = std::to_string(sockets * 4 * kSize) + '\n';
        if (::write(3, line.data(), line.size()) != ssize_t(line.size()))
            return 1;
        ::pause();
        return 0;
    };
    return std::make_unique<Child>(std::move(o));
}

} // namespace

TEST(NetdService, AttributesAMixedWorkloadToTheRightProcessesAndUsers) {
    TestCgroup cg;
    NetnsPair net;
    if (!fs::exists(kService))
        GTEST_SKIP() << "quillfern-netd is not built (needs clang, bpftool and libbpf)";
    if (!cg.ready() || !net.ready())
        GTEST_SKIP() << cg.why() << net.why();
    TrafficServer tcp(net.b(), NetnsPair::kAddrB);
    ASSERT_TRUE(tcp.ready()) << tcp.why();
    ChildOptions sink;
    sink.netns = net.b();
    sink.extraFd = 3;
    sink.body = [] { // a bound socket that never reads, so datagrams to it draw no refusals
        const sockaddr_in a = udpTarget();
        const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
            ::write(3, "r\n", 2) != 2)
            return 1;
        for (;;)
            ::pause();
    };
    Child udpServer(std::move(sink));
    ASSERT_TRUE(udpServer.readLine(30s, Child::Stream::Extra));
    const std::vector<TrafficClient::Target> target = {{NetnsPair::kAddrB, tcp.port()}};

    // Outside the cgroup: its bytes must reach nobody, and they go before the first reading of
    // the counters.
    TrafficClient outsider(net.a(), "qf-outsider", target, 3u << 20, 1u << 20);
    ASSERT_TRUE(outsider.connected() && outsider.go());
    // Connected before the service starts: found through the kernel's socket list.
    ASSERT_TRUE(cg.enter());
    TrafficClient earlier(net.a(), "qf-long0", target, 24u << 20, 8u << 20);
    ASSERT_TRUE(cg.leave());
    Service service(net, cg);
    if (!service.skipWhy.empty())
        GTEST_SKIP() << service.skipWhy;
    ASSERT_TRUE(service.failWhy.empty()) << service.failWhy;
    // The tool run as another user must reach the socket.
    fs::permissions(service.dir.path(), fs::perms::others_exec, fs::perm_options::add);
    ASSERT_TRUE(cg.enter());
    // Several connections at once, closed once done: their bytes outlive the sockets.
    TrafficClient closing(net.a(), "qf-closing", std::vector(20, target[0]), 1u << 20, 1u << 20);
    auto roots = udpSender(net, "qf-roots", 500);
    auto nobodys = udpSender(net, "qf-nobodys", 300, kNobody);
    ASSERT_TRUE(cg.leave());
    ASSERT_TRUE(earlier.connected() && closing.connected());

    std::map<pid_t, std::pair<std::string, std::uint64_t>> moved; // pid -> name, bytes
    for (auto [c, name] : {std::pair{&earlier, "qf-long0"}, {&closing, "qf-closing"}}) {
        const auto r = c->go();
        ASSERT_TRUE(r) << name;
        moved[c->pid()] = {name, r->first + r->second};
    }
    ASSERT_TRUE(closing.closeConnections());
    for (auto [c, name] : {std::pair{roots.get(), "qf-roots"}, {nobodys.get(), "qf-nobodys"}}) {
        const auto line = c->readLine(120s, Child::Stream::Extra);
        ASSERT_TRUE(line) << name << " did not finish";
        moved[c->pid()] = {name, std::stoull(*line)};
    }

    // Every last acknowledgement has been counted once the figures stop short of nothing.
    std::optional<qfnetd::View> view;
    EXPECT_TRUE(waitUntil([&] {
        view = service.ask();
        return view && std::all_of(moved.begin(), moved.end(), [&](const auto& m) {
                   return attributed(*view, m.first) >= m.second.second;
               });
    }));
    ASSERT_TRUE(view);
    std::uint64_t sum = 0;
    for (const auto& [pid, m] : moved) {
        const std::uint64_t got = attributed(*view, pid);
        sum += got;
        // Headers ride on top of the payload; far more would be somebody else's bytes.
        EXPECT_GE(double(got) / double(m.second), 0.95) << m.first << " credited " << got;
        EXPECT_LE(double(got) / double(m.second), 1.10) << m.first << " credited " << got;
    }
    // Only the workload's processes have bytes: not the outsider, not the servers.
    for (const auto& p : view->processes) {
        const auto it = moved.find(pid_t(p.pid));
        EXPECT_TRUE(it != moved.end() && it->second.first == p.name) << p.name;
    }

    // Through the tool, root sees every process by name; another user sees its own and only a
    // sum of root's.
    const qftest::TempDir runtime; // root's state; another user may not enter it and keeps none
    const auto tool = [&](uid_t uid) {
        return recorderReads(runTool(runtime.path().string(), net.a(), uid,
                                     {"QUILLFERN_NETD_SOCKET=" + service.socket}));
    };
    const AppSample all = tool(0), own = tool(kNobody);
    for (const auto& [pid, m] : moved)
        EXPECT_TRUE(all.count(QString::fromStdString(m.first))) << m.first;
    const auto mine = attributed(*view, nobodys->pid());
    ASSERT_EQ(own.size(), 2u) << "another user's process by name";
    EXPECT_GE(own.at("qf-nobodys").in + own.at("qf-nobodys").out, mine);
    EXPECT_GE(own.at("(system)").in + own.at("(system)").out, sum - mine);

    // Garbage, a request for something else and a line that never ends each get an error; the
    // same connection keeps being answered until the endless line.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval safety{120, 0}; // only for a service that never hangs up
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &safety, sizeof safety);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    service.socket.copy(a.sun_path, sizeof a.sun_path - 1);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const std::string bytes = "hello\nRESET\nTOTALS\n" + std::string(4000, 'x');
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    std::string junk;
    char buf[4096];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
        junk.append(buf, std::size_t(n));
    ::close(fd);
    EXPECT_NE(junk.find("\nOK\n"), std::string::npos) << junk;
    EXPECT_NE(junk.find("ERR request too long"), std::string::npos) << junk;
    EXPECT_TRUE(service.ask());
}

TEST(NetdService, RefusesKernelsOlderThanItsPrograms) {
    EXPECT_TRUE(qfnetd::releaseAtLeast("6.1.0-18-amd64", 5, 9));
    EXPECT_TRUE(qfnetd::releaseAtLeast("5.10.0", 5, 9)); // numbers, not text
    EXPECT_TRUE(qfnetd::releaseAtLeast("5.9", 5, 9));
    EXPECT_FALSE(qfnetd::releaseAtLeast("5.8.0", 5, 9));
    EXPECT_FALSE(qfnetd::releaseAtLeast("x", 5, 9));
}
