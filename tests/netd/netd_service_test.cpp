// The counting service against real traffic: its kernel programs on a cgroup this test makes,
// a veth pair between namespaces this test makes, and the tool reading it; then the same
// service under attack from other users; and its metrics endpoint, scraped by a real Prometheus
// server in the test's own namespace, then hit with requests meant to hurt it.

#include "NettopRunner.h"
#include "NettopTestSupport.h"
#include "netd_fixture.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <pwd.h>
#include <regex>

using namespace qftest;
using namespace qfnetd_test;

namespace {

constexpr uid_t kNobody = 65534;

std::uint64_t attributed(const qfnetd::View& v, pid_t pid) {
    const auto p = std::find_if(v.processes.begin(), v.processes.end(),
                                [&](const auto& q) { return q.pid == std::uint32_t(pid); });
    return p == v.processes.end() ? 0 : p->bytes.in + p->bytes.out;
}

// Short-lived sockets, each sending one datagram and closed at once. Reports the bytes sent on
// the event descriptor, then waits to be ended so its process and its line stay. With no end
// of sockets, sends one every 10 ms for good.
std::unique_ptr<Child> udpSender(const NetnsPair& net, const char* name, int sockets,
                                 std::optional<uid_t> uid = std::nullopt) {
    const auto body = [=] {
        ::prctl(PR_SET_NAME, name);
        const timespec pause{0, 10000000};
        for (int i = 0; sockets < 0 || i < sockets; ++i) {
            if (!sendDatagram(1200))
                return 3;
            if (sockets < 0)
                ::nanosleep(&pause, nullptr);
        }
        const std::string line = std::to_string(sockets * 1200) + '\n';
        return ::write(3, line.data(), line.size()) == ssize_t(line.size()) ? ::pause() : 1;
    };
    return std::make_unique<Child>(
        ChildOptions{.body = body, .netns = net.a(), .uid = uid, .gid = uid, .extraFd = 3});
}

constexpr std::uint16_t kPrometheusPort = 9090; // on the loopback of the test's namespace

// Sends `request` to a port of namespace A's loopback and returns what comes back until the
// server closes; "(no end)" when it keeps the connection open past a minute.
std::string exchange(const Rig& rig, int port, const std::string& request) {
    const auto body = [&] {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{AF_INET, htons(std::uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
        const timeval limit{60, 0};
        ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            return 1;
        ::send(s, request.data(), request.size(), MSG_NOSIGNAL);
        char buf[4096];
        ssize_t n;
        while ((n = ::recv(s, buf, sizeof buf, 0)) > 0)
            std::fwrite(buf, 1, std::size_t(n), stdout);
        std::fputs(n < 0 && errno == EAGAIN ? "(no end)" : "", stdout);
        return std::fflush(stdout); // the child ends with _exit
    };
    return run({.body = body, .netns = rig.net.a()}, 120s).out;
}

// Prometheus' answer to a query, and the first number in it (0 when none).
std::pair<std::string, double> query(const Rig& rig, const std::string& promql) {
    std::string target = "GET /api/v1/query?query=";
    for (const unsigned char c : promql) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        target += std::isalnum(c) ? std::string(1, char(c)) : hex;
    }
    const std::string answer = exchange(rig, kPrometheusPort, target + " HTTP/1.0\r\n\r\n");
    std::smatch m;
    const bool found =
        std::regex_search(answer, m, std::regex(R"re("value":\[[0-9.]+,"([^"]+)"\])re"));
    return {answer, found ? std::stod(m[1]) : 0};
}

} // namespace

TEST(NetdService, AttributesAMixedWorkloadToTheRightProcessesAndUsers) {
    Rig rig;
    if (!rig.skip.empty())
        GTEST_SKIP() << rig.skip;
    TrafficServer tcp(rig.net.b(), NetnsPair::kAddrB);
    ASSERT_TRUE(tcp.ready()) << tcp.why();
    const std::vector<TrafficClient::Target> target = {{NetnsPair::kAddrB, tcp.port()}};

    // Outside the cgroup: its bytes must reach nobody, and they go before the first reading of
    // the counters.
    TrafficClient outsider(rig.net.a(), "qf-outsider", target, 3u << 20, 1u << 20);
    ASSERT_TRUE(outsider.connected() && outsider.go());
    // Connected before the service starts: found through the kernel's socket list.
    ASSERT_TRUE(rig.cg.enter());
    TrafficClient earlier(rig.net.a(), "qf-long0", target, 24u << 20, 8u << 20);
    ASSERT_TRUE(rig.cg.leave());
    if (!rig.start() && !rig.skip.empty())
        GTEST_SKIP() << rig.skip;
    ASSERT_TRUE(rig.fail.empty()) << rig.fail;
    // Several connections at once, closed once done: their bytes outlive the sockets. Started in
    // a desktop application's unit inside the cgroup, it goes by the application.
    TestCgroup app(rig.cg.path(), "app-gnome-org.example.Closing-7.scope");
    ASSERT_TRUE(app.enter()) << app.why();
    TrafficClient closing(rig.net.a(), "qf-closing", std::vector(20, target[0]), 1u << 20,
                          1u << 20);
    ASSERT_TRUE(rig.cg.enter());
    auto roots = udpSender(rig.net, "qf-roots", 2000);
    auto nobodys = udpSender(rig.net, "qf-roots", 1200, kNobody); // the same name, another user
    ASSERT_TRUE(rig.cg.leave());
    ASSERT_TRUE(earlier.connected() && closing.connected());

    std::map<pid_t, std::pair<std::string, std::uint64_t>> moved; // pid -> name, bytes
    for (auto [c, name] : {std::pair{&earlier, "qf-long0"}, {&closing, "org.example.Closing"}}) {
        const auto r = c->go();
        ASSERT_TRUE(r) << name;
        moved[c->pid()] = {name, r->first + r->second};
    }
    ASSERT_TRUE(closing.closeConnections());
    for (Child* c : {roots.get(), nobodys.get()})
        moved[c->pid()] = {"qf-roots",
                           std::stoull(c->readLine(120s, Child::Stream::Extra).value())};

    // Every last acknowledgement has been counted once the figures stop short of nothing.
    std::optional<qfnetd::View> view;
    EXPECT_TRUE(waitUntil([&] {
        view = rig.ask();
        return view && std::all_of(moved.begin(), moved.end(), [&](const auto& m) {
                   return attributed(*view, m.first) >= m.second.second;
               });
    }));
    ASSERT_TRUE(view);
    // Only the workload's processes have bytes (not the outsider, not the servers): all of theirs,
    // waited for, and headers on top; far more would be somebody else's.
    std::uint64_t sum = 0;
    for (const auto& p : view->processes) {
        const auto it = moved.find(pid_t(p.pid));
        ASSERT_TRUE(it != moved.end() && it->second.first == p.name) << p.name;
        sum += p.bytes.in + p.bytes.out;
        EXPECT_LE(double(p.bytes.in + p.bytes.out), 1.10 * double(it->second.second)) << p.name;
    }

    // Through the tool, root sees every process by name, another user's with its owner and
    // never merged with one of root's; another user sees its own and only a sum of root's.
    const qftest::TempDir runtime; // root's state; another user may not enter it and keeps none
    const auto tool = [&](uid_t uid) {
        return recorderReads(runTool(runtime.path().string(), rig.net.a(), uid,
                                     {"QUILLFERN_NETD_SOCKET=" + rig.socket}));
    };
    const AppSample all = tool(0), own = tool(kNobody);
    // The recorder asks the service itself, without starting the tool (none is there), and
    // reads the same lines.
    ::setenv("QUILLFERN_NETD_SOCKET", rig.socket.c_str(), 1);
    const NettopRun asked = runNettop(QStringLiteral("/nonexistent/quillfern-nettop"), {}, 10000);
    ::unsetenv("QUILLFERN_NETD_SOCKET");
    EXPECT_TRUE(asked.ok()) << asked.failure.toStdString();
    const AppSample direct = recorderReads({0, asked.output.toStdString(), {}});
    const std::string nobody = ::getpwuid(kNobody) ? ::getpwuid(kNobody)->pw_name : "65534";
    for (const auto& [pid, m] : moved) {
        const auto name = QString::fromStdString(
            m.first + (pid == nobodys->pid() ? " (" + nobody + ")" : std::string()));
        ASSERT_TRUE(all.count(name) && direct.count(name)) << m.first;
        EXPECT_LE(double(all.at(name).in + all.at(name).out), 1.10 * double(m.second));
    }
    const auto mine = attributed(*view, nobodys->pid());
    ASSERT_EQ(own.size(), 2u) << "another user's process by name";
    EXPECT_GE(own.at("qf-roots").in + own.at("qf-roots").out, mine);
    EXPECT_GE(own.at("(system)").in + own.at("(system)").out, sum - mine);
}

// Each attack, run as other users, while another user's process keeps sending: root and that
// user are answered within the client's own time limit, the victim's bytes keep growing, and
// the service stays under 64 MB while its ledger is held to 1,000 processes.
TEST(NetdService, NoUserCanFreezeBloatOrLockOutTheOthers) {
    Rig rig;
    if (!rig.skip.empty() || (!rig.start({"--max-processes", "1000"}) && !rig.skip.empty()))
        GTEST_SKIP() << rig.skip;
    ASSERT_TRUE(rig.fail.empty()) << rig.fail;
    constexpr uid_t kVictim = 65533;
    ASSERT_TRUE(rig.cg.enter());
    const auto victim = udpSender(rig.net, "firefox", -1, kVictim);
    ASSERT_TRUE(rig.cg.leave());
    const auto ask = [&] { return rig.ask().value_or(qfnetd::View{}).processes.empty(); };
    const ChildOptions widget{.body = ask, .uid = kVictim, .gid = kVictim};

    for (const Attack& at : attacks()) {
        SCOPED_TRACE(at.what);
        const auto hostile = launch(at, rig);
        for (const auto& h : hostile)
            ASSERT_TRUE(h->readLine(120s, Child::Stream::Extra));
        int unanswered = 0;
        std::optional<std::uint64_t> first;
        EXPECT_TRUE(waitUntil(
            [&] {
                const auto view = rig.ask();
                if (!view)
                    return ++unanswered < 0;
                first = first.value_or(attributed(*view, victim->pid()));
                return attributed(*view, victim->pid()) > *first;
            },
            60s));
        EXPECT_EQ(unanswered, 0);
        EXPECT_EQ(run(widget).exitCode, 0) << "the victim's own widget";
#if !defined(__SANITIZE_ADDRESS__) // its shadow memory says nothing of the service's own
        EXPECT_LT(rig.statusKb("VmHWM:"), 64u << 10);
#endif
    }
}

// Nobody else may change the socket's directory, so nobody can turn the socket into a link to
// a file of root's between its creation and its mode.
TEST(NetdService, RefusesASocketDirectoryAnotherUserCanChange) {
    Rig rig;
    if (!rig.skip.empty())
        GTEST_SKIP() << rig.skip;
    const fs::path victim = rig.dir / "victim";
    std::ofstream(victim) << "root's";
    fs::permissions(victim, fs::perms::owner_read);
    for (const auto& [owner, mode] : {std::pair{kNobody, 0755}, {0u, 01777}}) {
        const fs::path dir = rig.dir / std::to_string(mode), sock = dir / "netd.sock";
        ASSERT_EQ(::mkdir(dir.c_str(), 0700) | ::chown(dir.c_str(), owner, owner), 0);
        ASSERT_EQ(::chmod(dir.c_str(), mode_t(mode)), 0);
        const auto flip = [&] {
            for (int i = 0; i < 200000; ++i) {
                ::symlink(victim.c_str(), (dir / "l").c_str());
                ::rename((dir / "l").c_str(), sock.c_str());
                ::unlink(sock.c_str());
            }
            return 0;
        };
        Child flipper({.body = flip, .uid = kNobody, .gid = kNobody});
        rig.socket = sock;
        if (!rig.start() && !rig.skip.empty())
            GTEST_SKIP() << rig.skip;
        EXPECT_NE(rig.fail.find("others may write"), std::string::npos) << rig.fail;
        EXPECT_EQ(fs::status(victim).permissions(), fs::perms::owner_read);
    }
}

TEST(NetdMetrics, PrometheusReadsTheCountsAndHostileRequestsHurtNothing) {
    Rig rig;
    const std::string prometheus = findProgram("prometheus");
    rig.skip += prometheus.empty() && rig.skip.empty() ? "prometheus is not installed" : "";
    if (!rig.skip.empty() || (!rig.start({"--metrics", "127.0.0.1:0"}) && !rig.skip.empty()))
        GTEST_SKIP() << rig.skip;
    const auto at = rig.said.find("metrics on http://127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << rig.fail << rig.said;
    const int port = std::stoi(rig.said.substr(at + 28));
    std::ofstream(rig.dir / "prometheus.yml")
        << "global: {scrape_interval: 1s, scrape_timeout: 1s, evaluation_interval: 1s}\n"
        << "scrape_configs: [{job_name: quillfern, static_configs: [{targets: ['127.0.0.1:" << port
        << "']}]}]\n";
    Child server({.argv = {prometheus, "--config.file=" + (rig.dir / "prometheus.yml").string(),
                           "--storage.tsdb.path=" + (rig.dir / "tsdb").string(),
                           "--web.listen-address=127.0.0.1:" + std::to_string(kPrometheusPort)},
                  .netns = rig.net.a(),
                  .logFile = rig.dir / "prometheus.log"});

    TrafficServer tcp(rig.net.b(), NetnsPair::kAddrB);
    ASSERT_TRUE(tcp.ready()) << tcp.why();
    const TrafficClient::Target target{NetnsPair::kAddrB, tcp.port()};
    ASSERT_TRUE(rig.cg.enter());
    TrafficClient steady(rig.net.a(), "qf-steady", {target}, 4u << 20, 8u << 20);
    ASSERT_TRUE(rig.cg.leave());
    const auto moved = steady.go();
    ASSERT_TRUE(moved);
    // Whether Prometheus reaches `want` bytes of the application; what it has is left in `got`.
    const std::string promql =
        R"(sum({__name__=~"quillfern_app_(receive|transmit)_bytes_total",app="qf-steady"}))";
    double got = 0, bytes = double(moved->first + moved->second);
    const auto reached = [&](double want) {
        return waitUntil([&] { return (got = query(rig, promql).second) >= want; }, 120s);
    };
    EXPECT_TRUE(reached(bytes)) << got << " of " << bytes;
    EXPECT_LE(got, 1.10 * bytes); // headers on top of the payload, nothing more
    EXPECT_EQ(query(rig, "up{job=\"quillfern\"}").second, 1.0);

    const std::string dashboard =
        slurp(fs::path(QUILLFERN_SOURCE_DIR) / "docs/grafana-dashboard.json");
    const std::regex expr(R"re("expr": "((?:[^"\\]|\\.)*)")re");
    int queries = 0;
    for (std::sregex_iterator it(dashboard.begin(), dashboard.end(), expr), end; it != end;
         ++it, ++queries) {
        std::string q = std::regex_replace((*it)[1].str(), std::regex(R"(\\(.))"), "$1");
        q = std::regex_replace(q, std::regex(R"(\$__rate_interval)"), "1m");
        q = std::regex_replace(q, std::regex(R"(\$instance)"), ".*");
        const std::string answer = query(rig, q).first;
        EXPECT_NE(answer.find("\"status\":\"success\""), std::string::npos) << q << answer;
    }
    EXPECT_GE(queries, 10);

    // Each hostile request is refused or cut off, none is answered with the figures.
    const std::string huge = "GET /metrics HTTP/1.1\r\nX-Pad: " + std::string(1 << 20, 'a');
    for (const auto& [request, want] :
         {std::pair<std::string, std::string>{"GET /admin HTTP/1.0\r\n\r\n", " 404 "},
          {"DELETE /metrics HTTP/1.0\r\n\r\n", " 405 "},
          {huge + "\r\n\r\n", ""},
          {"GET /metrics HTTP/1.1\r\nHost: x\r\n", ""}}) { // never finished
        const std::string answer = exchange(rig, port, request);
        EXPECT_TRUE(answer.find(" 200 ") == std::string::npos &&
                    answer.find("(no end)") == std::string::npos &&
                    answer.find(want) != std::string::npos)
            << request.substr(0, 40) << answer.substr(0, 200);
    }
    // While a thousand connections (as many as descriptors allow) hold on, the service counts
    // and answers on its socket; once they go, scrapes are answered again.
    const auto hold = [port] {
        sockaddr_in a{AF_INET, htons(std::uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
        for (int i = 0; i < 1000; ++i) // past the descriptor limit, socket() fails
            ::connect(::socket(AF_INET, SOCK_STREAM, 0), reinterpret_cast<sockaddr*>(&a), sizeof a);
        return ::write(3, "r\n", 2) == 2 ? ::pause() : 1;
    };
    Child crowd({.body = hold, .netns = rig.net.a(), .extraFd = 3});
    ASSERT_TRUE(crowd.readLine(120s, Child::Stream::Extra));
    ASSERT_TRUE(steady.go());
    EXPECT_TRUE(rig.ask()) << "the service's own socket";
    crowd.kill();
    EXPECT_TRUE(reached(2 * bytes)) << got << " of " << 2 * bytes;
}
