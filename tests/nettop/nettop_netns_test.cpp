// The real tool against real TCP traffic over a veth pair between two network namespaces.

#include "TrafficRecorder.h"
#include "netns_support.h"
#include "nettop_system.h"
#include "recorder_rule.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <tuple>

using namespace qfnettop_test;

namespace {

// A handshake or a FIN can add a byte to each direction's count.
constexpr std::uint64_t kSlack = 2;
// Each exchange announces its sizes in 16 bytes ahead of the payload.
constexpr std::uint64_t kAnnounce = 16;

ToolRun runTool(const VethPair& net, const TempDir& runtime) {
    return runIn(net.nsA, {kTool, "-P", "-x", "-L", "1", "-s", "1"},
                 {"XDG_RUNTIME_DIR=" + runtime.path});
}

std::optional<RecorderLine> lineOf(const std::string& out, pid_t pid) {
    std::optional<RecorderLine> found;
    for (const auto& l : recorderLines(out)) {
        if (l.pid == std::to_string(pid)) {
            EXPECT_FALSE(found) << "two lines for pid " << pid;
            found = l;
        }
    }
    return found;
}

void expectAbout(std::uint64_t got, std::uint64_t want, const char* what) {
    EXPECT_GE(got, want) << what;
    EXPECT_LE(got, want + kSlack) << what;
}

// A client that moves `send` and `receive` bytes, closes its socket when told, and exits when
// told again.
std::function<int()> clientBody(const VethPair& net, std::uint16_t port, const char* name,
                                std::uint64_t send, std::uint64_t receive, const Signal& toChild,
                                const Signal& fromChild) {
    return [&net, port, name, send, receive, &toChild, &fromChild] {
        ::prctl(PR_SET_NAME, name);
        const int s = exchange(net.addrB, port, send, receive);
        if (s < 0)
            return 1;
        fromChild.post();
        if (!toChild.take())
            return 2;
        ::close(s);
        fromChild.post();
        return toChild.take() ? 0 : 3;
    };
}

} // namespace

TEST(NettopNetns, CountsRealTrafficAndKeepsItAfterTheSocketCloses) {
    VethPair net("qfnt");
    if (!net.ready)
        GTEST_SKIP() << net.why;
    TempDir runtime;
    Child server(net.nsB, [&] { return serveForever(net.addrB, 7001); });
    Signal toChild, fromChild;
    constexpr std::uint64_t kSend = 300000, kReceive = 200000;
    Child client(net.nsA, clientBody(net, 7001, "qfclient", kSend, kReceive, toChild, fromChild));
    ASSERT_TRUE(fromChild.take()) << "the client could not exchange its bytes";

    const ToolRun open = runTool(net, runtime);
    ASSERT_EQ(open.status, 0);
    const auto first = lineOf(open.out, client.pid);
    ASSERT_TRUE(first) << open.out;
    EXPECT_EQ(first->name, "qfclient");
    expectAbout(first->in, kReceive, "received while open");
    expectAbout(first->out, kSend + kAnnounce, "sent while open");

    struct stat st {};
    ASSERT_EQ(::stat((runtime.path + "/quillfern/nettop-state.v1").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // The client closes the connection but lives on: its bytes must stay on its line.
    toChild.post();
    ASSERT_TRUE(fromChild.take());
    ::usleep(200000); // let the FIN exchange finish
    const ToolRun closed = runTool(net, runtime);
    const auto second = lineOf(closed.out, client.pid);
    ASSERT_TRUE(second) << closed.out;
    EXPECT_GE(second->in, first->in);
    EXPECT_GE(second->out, first->out);
    expectAbout(second->in, kReceive, "received after close");
    expectAbout(second->out, kSend + kAnnounce, "sent after close");

    // Once it has exited it has no line.
    toChild.post();
    EXPECT_EQ(client.wait(), 0);
    const ToolRun gone = runTool(net, runtime);
    EXPECT_FALSE(lineOf(gone.out, client.pid)) << gone.out;
}

namespace {

// Forks a child with a chosen pid (root only), so a pid can really be reused.
pid_t forkWithPid(pid_t pid) {
    struct {
        std::uint64_t flags, pidfd, childTid, parentTid, exitSignal, stack, stackSize, tls, setTid,
            setTidSize, cgroup;
    } args{};
    pid_t wanted = pid;
    args.exitSignal = SIGCHLD;
    args.setTid = reinterpret_cast<std::uint64_t>(&wanted);
    args.setTidSize = 1;
    return static_cast<pid_t>(::syscall(SYS_clone3, &args, sizeof args));
}

} // namespace

TEST(NettopNetns, ReusedPidStartsFromZero) {
    VethPair net("qfnr");
    if (!net.ready)
        GTEST_SKIP() << net.why;
    TempDir runtime;
    Child server(net.nsB, [&] { return serveForever(net.addrB, 7002); });

    // The first process moves a lot, closes its socket, and is seen by the tool that way, so
    // the state file remembers its closed bytes under its pid.
    Signal toChild, fromChild;
    Child old(net.nsA, clientBody(net, 7002, "qfreuse", 100000, 50000, toChild, fromChild));
    ASSERT_TRUE(fromChild.take());
    ASSERT_TRUE(lineOf(runTool(net, runtime).out, old.pid));
    toChild.post();
    ASSERT_TRUE(fromChild.take());
    ::usleep(100000);
    const pid_t pid = old.pid;
    const auto before = lineOf(runTool(net, runtime).out, pid);
    ASSERT_TRUE(before);
    EXPECT_GE(before->out, 100000u);
    toChild.post();
    ASSERT_EQ(old.wait(), 0);
    ::usleep(30000); // a later start time, in clock ticks

    // A new process under the same pid moves a little.
    Signal toNew, fromNew;
    const pid_t again = forkWithPid(pid);
    if (again == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (!enterNetns(net.nsA))
            ::_exit(120);
        ::_exit(clientBody(net, 7002, "qfreuse", 1000, 10, toNew, fromNew)());
    }
    if (again < 0)
        GTEST_SKIP() << "cannot create a process with a chosen pid: " << std::strerror(errno);
    Child reused;
    reused.pid = again;
    ASSERT_EQ(again, pid);
    ASSERT_TRUE(fromNew.take());

    const auto after = lineOf(runTool(net, runtime).out, pid);
    ASSERT_TRUE(after);
    expectAbout(after->in, 10, "new process received");
    expectAbout(after->out, 1000 + kAnnounce, "new process sent");
    toNew.post();
    fromNew.take();
    toNew.post();
}

TEST(NettopNetns, NameWithCommasAndNewlineCannotForgeLines) {
    VethPair net("qfnn");
    if (!net.ready)
        GTEST_SKIP() << net.why;
    TempDir runtime;
    Child server(net.nsB, [&] { return serveForever(net.addrB, 7003); });
    Signal toChild, fromChild;
    Child client(net.nsA, clientBody(net, 7003, "a,9,9\nevil", 5000, 7000, toChild, fromChild));
    ASSERT_TRUE(fromChild.take());

    const ToolRun run = runTool(net, runtime);
    ASSERT_EQ(run.status, 0);
    ASSERT_FALSE(run.out.empty());
    ASSERT_EQ(run.out.back(), '\n');
    const auto rows = splitAll(run.out.substr(0, run.out.size() - 1), '\n');
    const std::size_t fields = splitAll(rows[0], ',').size();
    for (const auto& row : rows)
        EXPECT_EQ(splitAll(row, ',').size(), fields) << row;

    const auto lines = recorderLines(run.out);
    EXPECT_EQ(lines.size(), rows.size() - 1);
    for (const auto& l : lines) {
        EXPECT_NE(l.name, "a");
        EXPECT_EQ(l.name.find("evil"), l.name == "a_9_9_evil" ? 6u : std::string::npos);
    }
    const auto line = lineOf(run.out, client.pid);
    ASSERT_TRUE(line) << run.out;
    EXPECT_EQ(line->name, "a_9_9_evil");
    expectAbout(line->in, 7000, "received");

    // The recorder's own parser reads the same: one application under the cleaned name, and
    // nothing under the names the process tried to forge.
    const AppSample sample = TrafficRecorder::parseNettop(QString::fromUtf8(run.out));
    std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> ours;
    for (const auto& l : lines) {
        ours[l.name].first += l.in;
        ours[l.name].second += l.out;
    }
    ASSERT_EQ(sample.size(), ours.size());
    for (const auto& [name, c] : sample) {
        ASSERT_TRUE(ours.count(name.toStdString())) << name.toStdString();
        EXPECT_EQ(c.in, ours[name.toStdString()].first);
        EXPECT_EQ(c.out, ours[name.toStdString()].second);
    }
    EXPECT_FALSE(sample.count(QStringLiteral("a")));
    ASSERT_TRUE(sample.count(QStringLiteral("a_9_9_evil")));
    EXPECT_EQ(sample.at(QStringLiteral("a_9_9_evil")).in, line->in);
}

TEST(NettopNetns, SeesIpv4AndIpv6AlikeWithEitherDumpRequest) {
    VethPair net("qfnd");
    if (!net.ready)
        GTEST_SKIP() << net.why;
    TempDir runtime;
    Child server4(net.nsB, [&] { return serveForever(net.addrB, 7004); });
    Child server6(net.nsB, [&] { return serveForever(net.addr6B, 7004); });
    Signal ready, finish;
    Child client(net.nsA, [&] {
        ::prctl(PR_SET_NAME, "qfdual");
        const int a = exchange(net.addrB, 7004, 1000, 2000);
        const int b = exchange(net.addr6B, 7004, 3000, 4000);
        if (a < 0 || b < 0)
            return 1;
        ready.post();
        return finish.take() ? 0 : 2;
    });
    ASSERT_TRUE(ready.take()) << "the client could not reach both servers";

    const auto line = lineOf(runTool(net, runtime).out, client.pid);
    ASSERT_TRUE(line);
    EXPECT_GE(line->in, 6000u);
    EXPECT_LE(line->in, 6000 + 2 * kSlack);
    EXPECT_GE(line->out, 4000 + 2 * kAnnounce);
    EXPECT_LE(line->out, 4000 + 2 * kAnnounce + 2 * kSlack);

    // The one-request dump and the per-family dumps list the same sockets with the same counts.
    Child compare(net.nsA, [] {
        using namespace qfnettop;
        const auto key = [](const SocketRecord& r) {
            return std::tuple(r.cookie, r.inode, r.bytes.rx, r.bytes.tx, r.loopback);
        };
        std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, bool>>
            both, split;
        const auto a = dumpTcpSockets(DumpMethod::Combined);
        const auto b = dumpTcpSockets(DumpMethod::PerFamily);
        if (!a || !b)
            return 1;
        for (const auto& r : *a)
            both.push_back(key(r));
        for (const auto& r : *b)
            split.push_back(key(r));
        std::sort(both.begin(), both.end());
        std::sort(split.begin(), split.end());
        return both == split && both.size() >= 2 ? 0 : 2;
    });
    EXPECT_EQ(compare.wait(), 0);
    finish.post();
}

TEST(NettopNetns, OtherUsersSocketsAreSummedPerUser) {
    VethPair net("qfnu");
    if (!net.ready)
        GTEST_SKIP() << net.why;
    constexpr uid_t kNobody = 65534;
    TempDir runtime;
    ASSERT_EQ(::chown(runtime.path.c_str(), kNobody, kNobody), 0);
    Child server(net.nsB, [&] { return serveForever(net.addrB, 7005); });
    Signal toChild, fromChild;
    Child client(net.nsA, clientBody(net, 7005, "qfroot", 2000, 3000, toChild, fromChild));
    ASSERT_TRUE(fromChild.take());

    // An unprivileged user cannot look into root's descriptors: the bytes go to "(system)".
    const ToolRun run = runIn(net.nsA, {kTool, "-P", "-x", "-L", "1", "-s", "1"},
                              {"XDG_RUNTIME_DIR=" + runtime.path}, kNobody);
    ASSERT_EQ(run.status, 0);
    EXPECT_FALSE(lineOf(run.out, client.pid)) << run.out;
    std::optional<RecorderLine> system;
    for (const auto& l : recorderLines(run.out)) {
        if (l.name == "(system)")
            system = l;
    }
    ASSERT_TRUE(system) << run.out;
    EXPECT_EQ(system->pid, "0");
    expectAbout(system->in, 3000, "root's bytes received");
    expectAbout(system->out, 2000 + kAnnounce, "root's bytes sent");
    struct stat st {};
    ASSERT_EQ(::stat((runtime.path + "/quillfern/nettop-state.v1").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
}
