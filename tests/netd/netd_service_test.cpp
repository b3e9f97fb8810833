// The counting service against real traffic: its kernel programs on a cgroup this test makes,
// a veth pair between namespaces this test makes, and the tool reading it; then the same
// service under attack from other users.

#include "NettopRunner.h"
#include "NettopTestSupport.h"
#include "netd_fixture.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <pwd.h>

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
    ChildOptions widget;
    widget.uid = widget.gid = kVictim;
    widget.body = [&] { return rig.ask().value_or(qfnetd::View{}).processes.empty(); };

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

TEST(NetdService, RefusesKernelsOlderThanItsPrograms) { // numbers, not text: 5.10 is newer than 5.9
    for (const auto& [release, ok] : {std::pair{"6.1.0-18-amd64", true},
                                      {"5.10.0", true},
                                      {"5.9", true},
                                      {"5.8.0", false},
                                      {"x", false}})
        EXPECT_EQ(qfnetd::releaseAtLeast(release, 5, 9), ok) << release;
}
