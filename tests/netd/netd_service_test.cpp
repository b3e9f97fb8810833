// The counting service against real traffic: its kernel programs on a cgroup this test makes,
// a veth pair between namespaces this test makes, and the tool reading it.

#include "netd_fixture.h"

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <netinet/in.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace qftest;
using namespace qfnetd_test;

namespace {

const qfnetd::ProcessLine* lineOf(const qfnetd::View& v, pid_t pid) {
    for (const auto& p : v.processes) {
        if (p.pid == static_cast<std::uint32_t>(pid))
            return &p;
    }
    return nullptr;
}

std::uint64_t attributed(const qfnetd::View& v, pid_t pid) {
    const auto* p = lineOf(v, pid);
    return p ? p->bytes.rx + p->bytes.tx : 0;
}

// Writes "<sent> <received>\n" to the event descriptor once a body's work is done, then waits
// to be ended, so its process and its line stay.
int report(std::uint64_t sent, std::uint64_t received) {
    const std::string line = std::to_string(sent) + ' ' + std::to_string(received) + '\n';
    if (::write(3, line.data(), line.size()) != ssize_t(line.size()))
        return 1;
    ::pause();
    return 0;
}

sockaddr_in addressOf(const char* ip, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

bool sendAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        p += k;
        n -= std::size_t(k);
    }
    return true;
}

std::uint64_t recvAll(int fd, std::uint64_t n) {
    static char sink[65536];
    std::uint64_t got = 0;
    while (got < n) {
        const ssize_t k = ::recv(fd, sink, std::min<std::uint64_t>(sizeof sink, n - got), 0);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            break;
        got += std::uint64_t(k);
    }
    return got;
}

// Back-to-back short connections to the traffic server, each a 64 KiB upload and a small
// answer, closed as soon as it is done.
std::function<int()> shortConnections(const char* name, std::uint16_t port, int count) {
    return [=] {
        ::prctl(PR_SET_NAME, name);
        constexpr std::uint64_t kUp = 64 * 1024, kDown = 1024;
        static char payload[kUp];
        std::uint64_t sent = 0, received = 0;
        const sockaddr_in to = addressOf(NetnsPair::kAddrB, port);
        for (int i = 0; i < count; ++i) {
            const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
                return 2;
            unsigned char req[16] = {};
            for (int b = 0; b < 8; ++b) {
                req[7 - b] = static_cast<unsigned char>(kUp >> (8 * b));
                req[15 - b] = static_cast<unsigned char>(kDown >> (8 * b));
            }
            if (!sendAll(s, reinterpret_cast<const char*>(req), sizeof req) ||
                !sendAll(s, payload, kUp))
                return 3;
            const std::uint64_t got = recvAll(s, kDown + kAckBytes);
            if (got != kDown + kAckBytes)
                return 4;
            sent += kUp + kRequestBytes;
            received += got;
            ::close(s);
        }
        return report(sent, received);
    };
}

// A UDP service in namespace B: port+0 swallows a stream, port+1 answers each request with
// kReply bytes.
constexpr std::size_t kReply = 1000;
int udpServer(std::uint16_t port) {
    const int sink = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int echo = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = addressOf(NetnsPair::kAddrB, port);
    const sockaddr_in b = addressOf(NetnsPair::kAddrB, std::uint16_t(port + 1));
    if (::bind(sink, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        ::bind(echo, reinterpret_cast<const sockaddr*>(&b), sizeof b) != 0)
        return 1;
    ::write(3, "r\n", 2);
    static char buf[65536];
    for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        if (::recvfrom(echo, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len) > 0)
            ::sendto(echo, buf, kReply, 0, reinterpret_cast<sockaddr*>(&from), len);
    }
}

// Datagrams to port+0 of the UDP service (a stream nobody answers) or, with `answered`, to
// port+1, each waiting for its reply.
std::function<int()> udpTraffic(std::uint16_t port, int datagrams, std::size_t size,
                                const char* name, bool answered = false) {
    return [=] {
        ::prctl(PR_SET_NAME, name);
        const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in to = addressOf(NetnsPair::kAddrB, std::uint16_t(port + answered));
        static char buf[65536];
        std::uint64_t sent = 0, received = 0;
        for (int i = 0; i < datagrams; ++i) {
            // Unconnected, so a port nobody listens on refuses nothing.
            if (::sendto(s, buf, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) !=
                ssize_t(size))
                return 3;
            sent += size;
            if (!answered)
                continue;
            const ssize_t n = ::recv(s, buf, sizeof buf, 0);
            if (n <= 0)
                return 4;
            received += std::uint64_t(n);
        }
        return report(sent, received);
    };
}

std::unique_ptr<Child> startBody(const std::string& netns, std::function<int()> body,
                                 std::optional<uid_t> uid = std::nullopt) {
    ChildOptions o;
    o.body = std::move(body);
    o.netns = netns;
    o.uid = uid;
    o.gid = uid;
    o.extraFd = 3;
    return std::make_unique<Child>(std::move(o));
}

std::optional<std::uint64_t> movedBy(Child& c) {
    const auto line = c.readLine(120s, Child::Stream::Extra);
    if (!line)
        return std::nullopt;
    std::istringstream in(*line);
    std::uint64_t sent = 0, received = 0;
    in >> sent >> received;
    return sent + received;
}

// The tool's lines (name.pid -> bytes) as the recorder reads them.
std::map<std::string, std::uint64_t> toolLines(const std::string& out) {
    std::map<std::string, std::uint64_t> lines;
    std::istringstream in(out);
    std::string line;
    std::getline(in, line); // header
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string x; std::getline(fields, x, ',');)
            f.push_back(x);
        if (f.size() > 5)
            lines[f[1]] = std::stoull(f[4]) + std::stoull(f[5]);
    }
    return lines;
}

#define NETD_PRECONDITIONS(net, cg)                                                                \
    if (!fs::exists(kService))                                                                     \
        GTEST_SKIP() << "quillfern-netd is not built (needs clang, bpftool and libbpf)";           \
    if (!(cg).ready())                                                                             \
        GTEST_SKIP() << (cg).why();                                                                \
    if (!(net).ready())                                                                            \
        GTEST_SKIP() << (net).why();

} // namespace

TEST(NetdService, AttributesAMixedWorkloadToTheRightProcesses) {
    TestCgroup cg;
    NetnsPair net;
    NETD_PRECONDITIONS(net, cg)
    TrafficServer tcp(net.b(), NetnsPair::kAddrB);
    ASSERT_TRUE(tcp.ready()) << tcp.why();
    auto udp = startBody(net.b(), [] { return udpServer(7100); });
    ASSERT_TRUE(udp->readLine(30s, Child::Stream::Extra));
    const std::vector<TrafficClient::Target> target = {{NetnsPair::kAddrB, tcp.port()}};

    // Outside the cgroup: its bytes must reach nobody.
    TrafficClient outsider(net.a(), "qf-outsider", target, 3u << 20, 1u << 20);
    ASSERT_TRUE(cg.enter());
    // Connected before the service starts: found through the kernel's socket list.
    auto earlier =
        std::make_unique<TrafficClient>(net.a(), "qf-long0", target, 24u << 20, 8u << 20);
    ASSERT_TRUE(cg.leave());
    Service service(net, cg);
    if (!service.skipWhy.empty())
        GTEST_SKIP() << service.skipWhy;
    ASSERT_TRUE(service.failWhy.empty()) << service.failWhy;
    ASSERT_TRUE(cg.enter());
    TrafficClient long1(net.a(), "qf-long1", target, 16u << 20, 16u << 20);
    TrafficClient long2(net.a(), "qf-long2", target, 4u << 20, 32u << 20);
    ASSERT_TRUE(cg.leave());
    ASSERT_TRUE(outsider.connected() && earlier->connected() && long1.connected() &&
                long2.connected());
    ASSERT_TRUE(outsider.go());

    const auto before = interfaceCounters(net.a());
    ASSERT_TRUE(before);
    ASSERT_TRUE(cg.enter());
    auto short1 = startBody(net.a(), shortConnections("qf-short1", tcp.port(), 150));
    auto short2 = startBody(net.a(), shortConnections("qf-short2", tcp.port(), 150));
    auto stream = startBody(net.a(), udpTraffic(7100, 3000, 1200, "qf-udpstream"));
    auto burst = startBody(net.a(), udpTraffic(7100, 2000, 400, "qf-udpburst", true));
    ASSERT_TRUE(cg.leave());

    std::map<pid_t, std::uint64_t> moved;
    std::map<pid_t, std::string> names;
    for (TrafficClient* c : {earlier.get(), &long1, &long2}) {
        const auto r = c->go();
        ASSERT_TRUE(r);
        moved[c->pid()] = r->first + r->second;
    }
    names[earlier->pid()] = "qf-long0", names[long1.pid()] = "qf-long1",
    names[long2.pid()] = "qf-long2";
    const std::pair<Child*, const char*> bodies[] = {{short1.get(), "qf-short1"},
                                                     {short2.get(), "qf-short2"},
                                                     {stream.get(), "qf-udpstream"},
                                                     {burst.get(), "qf-udpburst"}};
    for (const auto& [c, name] : bodies) {
        const auto m = movedBy(*c);
        ASSERT_TRUE(m) << name << " did not finish";
        moved[c->pid()] = *m;
        names[c->pid()] = name;
    }

    // Every last acknowledgement has been counted once the figures stop short of nothing.
    std::optional<qfnetd::View> view;
    const bool complete = waitUntil([&] {
        view = service.ask();
        if (!view)
            return false;
        for (const auto& [pid, bytes] : moved) {
            if (attributed(*view, pid) < bytes)
                return false;
        }
        return true;
    });
    const auto after = interfaceCounters(net.a());
    ASSERT_TRUE(view && after);

    std::uint64_t sum = 0;
    for (const auto& [pid, bytes] : moved) {
        const std::uint64_t got = attributed(*view, pid);
        sum += got;
        const double ratio = double(got) / double(bytes);
        EXPECT_GE(ratio, 0.95) << names[pid] << " moved " << bytes << ", credited " << got;
        // Headers ride on top of the payload; far more would be somebody else's bytes.
        EXPECT_LE(ratio, 1.10) << names[pid];
        const auto* line = lineOf(*view, pid);
        ASSERT_TRUE(line);
        EXPECT_EQ(line->name, names[pid]);
    }
    EXPECT_TRUE(complete);
    // Only the workload's processes have bytes: not the outsider, not the servers.
    for (const auto& p : view->processes)
        EXPECT_TRUE(moved.count(pid_t(p.pid))) << p.name << " was credited " << p.bytes.rx;
    // Minus the outsider's bytes, which went before the first reading of the counters.
    const std::uint64_t veth = (after->rx - before->rx) + (after->tx - before->tx);
    EXPECT_GE(double(sum) / double(veth), 0.95);
    EXPECT_LE(sum, veth);

    // The tool prints the service's figures in its usual layout.
    ChildOptions tool;
    tool.argv = {toolPath().string(), "-P", "-x", "-L", "1", "-s", "1"};
    tool.netns = net.a();
    tool.env = {"QUILLFERN_NETD_SOCKET=" + service.socket};
    const RunResult withService = run(tool);
    ASSERT_EQ(withService.exitCode, 0) << withService.err;
    const auto lines = toolLines(withService.out);
    for (const auto& [pid, bytes] : moved) {
        const auto it = lines.find(names[pid] + "." + std::to_string(pid));
        ASSERT_NE(it, lines.end()) << withService.out;
        EXPECT_GE(it->second, attributed(*view, pid));
    }
}

namespace {

// Sends raw request bytes on one connection and reads until the service closes it or has
// answered `answers` times.
std::string rawExchange(const std::string& socket, const std::string& bytes, int answers) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, socket.c_str(), sizeof a.sun_path - 1);
    std::string got;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        sendAll(fd, bytes.data(), bytes.size())) {
        char buf[4096];
        int ends = 0;
        for (std::size_t at = 0; ends < answers;) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            got.append(buf, std::size_t(n));
            for (; (at = got.find("END\n", at)) != std::string::npos; at += 4)
                ++ends;
            at = got.size() >= 3 ? got.size() - 3 : 0;
        }
    }
    ::close(fd);
    return got;
}

} // namespace

TEST(NetdService, OtherUsersStayAnonymousAndBadRequestsChangeNothing) {
    TestCgroup cg;
    NetnsPair net;
    NETD_PRECONDITIONS(net, cg)
    Service service(net, cg);
    if (!service.skipWhy.empty())
        GTEST_SKIP() << service.skipWhy;
    ASSERT_TRUE(service.failWhy.empty()) << service.failWhy;
    fs::permissions(service.dir.path(),
                    fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec);
    constexpr uid_t kNobody = 65534;

    ASSERT_TRUE(cg.enter());
    auto mine = startBody(net.a(), udpTraffic(7200, 200, 1000, "qf-nobodys"), kNobody);
    auto roots = startBody(net.a(), udpTraffic(7200, 300, 1000, "qf-roots"));
    ASSERT_TRUE(cg.leave());
    ASSERT_TRUE(movedBy(*mine) && movedBy(*roots));
    ASSERT_TRUE(waitUntil([&] {
        const auto v = service.ask();
        return v && attributed(*v, mine->pid()) >= 200000 && attributed(*v, roots->pid()) >= 300000;
    }));

    ChildOptions tool;
    tool.argv = {toolPath().string(), "-P", "-x", "-L", "1", "-s", "1"};
    tool.netns = net.a();
    tool.uid = tool.gid = kNobody;
    tool.env = {"QUILLFERN_NETD_SOCKET=" + service.socket, "XDG_RUNTIME_DIR=/nonexistent"};
    const RunResult asNobody = run(tool);
    ASSERT_EQ(asNobody.exitCode, 0) << asNobody.err;
    auto lines = toolLines(asNobody.out);
    EXPECT_TRUE(lines.count("qf-nobodys." + std::to_string(mine->pid()))) << asNobody.out;
    EXPECT_GE(lines["(system).0"], 300000u) << asNobody.out;
    EXPECT_EQ(asNobody.out.find("qf-roots"), std::string::npos) << asNobody.out;
    EXPECT_EQ(asNobody.out.find("." + std::to_string(roots->pid()) + ","), std::string::npos);

    // Garbage, a request for something else, and a line that never ends: each gets an error,
    // and the same connection keeps being answered until the endless line.
    const std::string junk =
        rawExchange(service.socket, "hello\nRESET\nTOTALS\n" + std::string(4000, 'x'), 4);
    EXPECT_EQ(junk.rfind("ERR ", 0), 0u) << junk;
    EXPECT_NE(junk.find("END\nERR "), std::string::npos) << junk;
    EXPECT_NE(junk.find("\nOK\n"), std::string::npos) << junk;
    EXPECT_NE(junk.find("ERR request too long"), std::string::npos) << junk;
    const auto after = service.ask();
    ASSERT_TRUE(after);
    EXPECT_GE(attributed(*after, roots->pid()), 300000u);
    EXPECT_TRUE(service.child->running());
}
