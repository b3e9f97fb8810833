#include "netd_core.h"
#include "netd_metrics.h"

#include <gtest/gtest.h>

using namespace qfnetd;

namespace {

constexpr std::uint64_t kS = 1000000000u;

SocketSample sock(std::uint64_t cookie, std::uint64_t rx, std::uint64_t tx,
                  std::uint64_t closedNs = 0) {
    return {.cookie = cookie, .bytes = {rx, tx}, .closedNs = closedNs};
}

} // namespace

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
    EXPECT_TRUE(!l.processes().count(a) && l.processes().count(b));
    // The applications keep what their processes and sockets had, gone or not.
    EXPECT_EQ(l.appTotals(),
              (std::map<AppKey, Counters>{{{1000, "alpha"}, {156, 26}}, {{0, "beta"}, {7, 7}}}));
    EXPECT_EQ(l.settledUnattributed(), (Counters{41, 5}));
}

// Each format's names and escapes; that the whole is well formed, a real Prometheus checks.
TEST(NetdMetrics, RendersBothFormatsEscapedAndWellFormed) {
    MetricsSnapshot snap;
    snap.apps = {{"root", "a\"b\\c\nd", {5, 7}}, {"1001", "other", {1, 2}}};
    snap.links = {{"eth0", true, true, {3, 4}}, {"veth1", false, false, {8, 9}}};
    const struct {
        MetricsFormat format;
        std::vector<std::string> lines;
    } rows[] = {
        {MetricsFormat::Prometheus004,
         {"# TYPE quillfern_app_receive_bytes_total counter",
          R"(quillfern_app_receive_bytes_total{app="a\"b\\c\nd",user="root"} 5)",
          R"(quillfern_link_transmit_bytes_total{link="veth1",class="virtual",counted="false"} 9)",
          "quillfern_scrape_duration_seconds 0.25"}},
        {MetricsFormat::OpenMetrics100,
         {"# TYPE quillfern_app_transmit_bytes counter",
          R"(quillfern_app_transmit_bytes_total{app="other",user="1001"} 2)",
          R"(quillfern_link_receive_bytes_total{link="eth0",class="physical",counted="true"} 3)",
          "# EOF"}},
    };
    for (const auto& row : rows) {
        const std::string text = renderMetrics(snap, row.format, 0.25);
        for (const auto& line : row.lines)
            EXPECT_NE(text.find(line + "\n"), std::string::npos) << line;
    }
    EXPECT_EQ(formatFor("application/openmetrics-text;version=1.0.0,text/plain;q=0.5"),
              MetricsFormat::OpenMetrics100);
    EXPECT_EQ(formatFor("text/plain"), MetricsFormat::Prometheus004);
}

TEST(NetdCore, LedgerStaysBoundedAndNoUserCrowdsOutAnother) {
    Ledger l(4);
    std::vector<SocketSample> live;
    for (std::uint32_t p = 1; p <= 6; ++p) {
        l.setOwner(p, {p, 1}, {7, "flood"});
        live.push_back(sock(p, 10, 0));
    }
    // Full of uid 7's running processes: 7 gets no more lines, but uid 8 takes one of its.
    l.setOwner(100, {100, 1}, {8, "victim"});
    live.push_back(sock(100, 5, 5));
    l.setLive(live);
    EXPECT_EQ(l.processes().size(), 4u);
    EXPECT_EQ(viewFor(8, l, {}).processes, (std::vector<ProcessLine>{{100, 8, "victim", {5, 5}}}));
    // What was folded stays in the user's sum, so that never goes down.
    EXPECT_EQ(viewFor(8, l, {}).users, (std::vector<UserLine>{{7, {60, 0}}}));
    EXPECT_EQ(viewFor(7, l, {}).processes.size(), 3u);
    EXPECT_EQ(l.foldedProcesses(), 3u);
    // Folded or never given room, the processes' bytes stay with their application.
    EXPECT_EQ(l.appTotals().at({7, "flood"}), (Counters{60, 0}));
    // An ended process makes room first, whoever it belonged to.
    l.markGone({100, 1}, 5 * kS);
    l.setOwner(200, {200, 1}, {7, "late"});
    EXPECT_TRUE(l.processes().count({200, 1}) && !l.processes().count({100, 1}));
    l.fold(sock(100, 6, 6));
    l.setLive({});
    EXPECT_EQ(l.userTotals().at(8), (Counters{6, 6}));
    EXPECT_EQ(l.trackedSockets(), 0u);

    // A user's names beyond the bound are summed under one.
    Ledger many;
    for (std::uint32_t i = 0; i < Ledger::kMaxAppsPerUser + 5; ++i)
        many.setOwner(i, {i + 100, 1}, {7, "app" + std::to_string(i)});
    EXPECT_EQ(many.appTotals().size(), Ledger::kMaxAppsPerUser + 1);
    EXPECT_TRUE(many.foldedApps() == 5u && many.appTotals().count({7, Ledger::kOtherApp}));
}

TEST(NetdCore, ProtocolRoundTripsAndRefusesWhatIsNotAnAnswer) {
    EXPECT_EQ(parseRequest("STATS\r"), Request::Stats);
    for (const char* bad : {"", "totals", "TOTALS x", "TOTALS\n"})
        EXPECT_EQ(parseRequest(bad), Request::Invalid) << bad;

    // A name cannot end its line early and forge another; the answer reads back as written.
    Ledger l;
    l.setOwner(1, {5, 1}, {0, "x\nP 1 0 99 99 forged"});
    l.setLive({sock(1, 1, 18446744073709551615u)});
    const std::string good = formatView(viewFor(0, l, {}));
    const auto back = parseView(good);
    ASSERT_TRUE(back && back->processes.size() == 1u) << good;
    EXPECT_EQ(back->processes[0].pid, 5u);
    EXPECT_EQ(formatView(*back), good);

    for (const std::string& bad : std::vector<std::string>{
             std::string(), good.substr(0, good.size() - 1), good.substr(0, good.size() - 4),
             formatError("nope"), "OK\nP 1 2 3\nS 0 0 0 0 0\nEND\n", "OK\nQ 1\nS 0 0 0 0 0\nEND\n",
             "OK\nP 1 2 3 4 \nS 0 0 0 0 0\nEND\n", "OK\nEND\n", good + "P 1 2 3 4 x\n"})
        EXPECT_FALSE(parseView(bad)) << bad;
}
