#include "netd_core.h"

#include <gtest/gtest.h>

using namespace qfnetd;

namespace {

constexpr std::uint64_t kS = 1000000000u;

SocketSample sock(std::uint64_t cookie, std::uint64_t rx, std::uint64_t tx,
                  std::uint64_t closedNs = 0) {
    SocketSample s;
    s.cookie = cookie;
    s.bytes = {rx, tx};
    s.closedNs = closedNs;
    return s;
}

} // namespace

TEST(NetdCore, IncarnationAndGraceDecisions) {
    // 100 ticks per second: a process started at tick 250 can own a socket from 2.5 s on.
    EXPECT_TRUE(startedBy(250, 100, 2500000000u));
    EXPECT_FALSE(startedBy(251, 100, 2500000000u));
    EXPECT_FALSE(startedBy(0, 0, 5 * kS));

    EXPECT_FALSE(readyToFold(sock(1, 0, 0, 0), 100 * kS, kS)); // still open
    EXPECT_FALSE(readyToFold(sock(1, 0, 0, 10 * kS), 10 * kS + kS - 1, kS));
    EXPECT_TRUE(readyToFold(sock(1, 0, 0, 10 * kS), 11 * kS, kS));
    EXPECT_FALSE(readyToFold(sock(1, 0, 0, 10 * kS), 9 * kS, kS)); // clock behind the record
}

TEST(NetdCore, LedgerKeepsBytesAcrossFoldsAndForgetsEndedProcesses) {
    Ledger l;
    const ProcessKey a{10, 500}, b{11, 600};
    l.setOwner(1, a, {1000, "alpha"});
    l.setOwner(2, a, {1000, "alpha"});
    l.setOwner(3, b, {0, "beta"});
    // Cookie 4 never gets an owner: its bytes are nobody's.
    l.setLive({sock(1, 100, 10), sock(2, 5, 5), sock(3, 7, 7), sock(4, 40, 4)});
    l.fold(sock(1, 150, 20)); // final counters, a little more than last seen
    l.setLive({sock(2, 6, 6), sock(3, 7, 7), sock(4, 40, 4)});

    // What a closed socket leaves its owner, and what is live, the service run checks.
    EXPECT_EQ(l.unattributed(), (Counters{40, 4}));
    l.fold(sock(4, 41, 5));
    l.setLive({sock(2, 6, 6), sock(3, 7, 7)});
    EXPECT_EQ(l.unattributed(), (Counters{41, 5}));
    // Pushed out of the kernel's table: its owner keeps what it was last seen with.
    l.setLive({sock(2, 6, 6)});
    l.setLive({sock(2, 6, 6)});
    EXPECT_EQ(l.processes().at(b).folded, (Counters{7, 7}));
    EXPECT_EQ(l.trackedSockets(), 1u); // nothing kept of the sockets that went

    // Ended, but a socket is still open: kept. Once it is folded and the retention passed: gone.
    l.markGone(a, 100 * kS);
    l.expire(1000 * kS, 10 * kS);
    ASSERT_TRUE(l.processes().count(a));
    l.fold(sock(2, 6, 6));
    l.setLive({});
    l.expire(105 * kS, 10 * kS);
    EXPECT_TRUE(l.processes().count(a));
    l.expire(110 * kS, 10 * kS);
    EXPECT_FALSE(l.processes().count(a));
    EXPECT_TRUE(l.processes().count(b));
}

TEST(NetdCore, EachUserSeesOnlyTheirOwnProcessesByName) {
    Ledger l;
    l.setOwner(1, {10, 1}, {1000, "mine"});
    l.setOwner(2, {20, 1}, {1001, "theirs"});
    l.setOwner(3, {21, 1}, {1001, "theirs-too"});
    l.setOwner(4, {30, 1}, {0, "daemon"});
    l.setOwner(5, {40, 1}, {1000, "ended"});
    l.setOwner(6, {40, 9}, {1000, "reused"});
    l.setLive(
        {sock(1, 1, 2), sock(2, 3, 4), sock(3, 5, 6), sock(4, 7, 8), sock(5, 9, 9), sock(6, 1, 1)});
    l.markGone({40, 1}, 50 * kS);

    const View user = viewFor(1000, l, {});
    // The ended process shares its pid with a running one: only the running one is named.
    EXPECT_EQ(user.processes,
              (std::vector<ProcessLine>{{10, 1000, "mine", {1, 2}}, {40, 1000, "reused", {1, 1}}}));
    EXPECT_EQ(user.users, (std::vector<UserLine>{{0, {7, 8}}, {1001, {8, 10}}}));
    // Root sees every process by name (the service run checks), so no sums by user.
    EXPECT_TRUE(viewFor(0, l, {}).users.empty());
}

TEST(NetdCore, ProtocolRoundTripsAndRefusesWhatIsNotAnAnswer) {
    EXPECT_EQ(parseRequest("STATS\r"), Request::Stats);
    for (const char* bad : {"", "totals", "TOTALS x", "TOTALS\n"})
        EXPECT_EQ(parseRequest(bad), Request::Invalid) << bad;

    View v;
    v.processes = {{7, 1000, "a b", {1, 18446744073709551615u}}};
    v.users = {{0, {3, 4}}};
    v.stats = {{5, 6}, 7, 8};
    const std::string good = formatView(v);
    const auto back = parseView(good);
    ASSERT_TRUE(back);
    EXPECT_EQ(formatView(*back), good);

    // A name cannot end its line early and forge another.
    Ledger l;
    l.setOwner(1, {5, 1}, {0, "x\nP 1 0 99 99 forged"});
    l.setLive({sock(1, 1, 1)});
    const auto forged = parseView(formatView(viewFor(0, l, {})));
    ASSERT_TRUE(forged);
    ASSERT_EQ(forged->processes.size(), 1u);
    EXPECT_EQ(forged->processes[0].pid, 5u);

    for (const std::string& bad : std::vector<std::string>{
             std::string(), good.substr(0, good.size() - 1), good.substr(0, good.size() - 4),
             formatError("nope"), "OK\nP 1 2 3\nS 0 0 0 0\nEND\n", "OK\nQ 1\nS 0 0 0 0\nEND\n",
             "OK\nP 1 2 3 4 \nS 0 0 0 0\nEND\n", "OK\nEND\n", good + "P 1 2 3 4 x\n"})
        EXPECT_FALSE(parseView(bad)) << bad;
}
