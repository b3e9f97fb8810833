// The real tool against real TCP traffic over a veth pair between two network namespaces,
// read by the recorder's own parser.

#include "NettopTestSupport.h"
#include "nettop_system.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tuple>

using namespace qftest;

namespace {

// A handshake or a FIN can add a byte to each direction's count.
constexpr std::uint64_t kSlack = 2;

#define EXPECT_ABOUT(got, want)                                                                    \
    do {                                                                                           \
        EXPECT_GE(got, want);                                                                      \
        EXPECT_LE(got, (want) + kSlack);                                                           \
    } while (0)

// A pair of namespaces with a traffic server in B; tests skip without root.
class NettopNetns : public ::testing::Test {
protected:
    void SetUp() override {
        m_net = std::make_unique<NetnsPair>(true);
        if (!m_net->ready())
            GTEST_SKIP() << m_net->why();
        m_server = std::make_unique<TrafficServer>(m_net->b(), NetnsPair::kAddrB);
        ASSERT_TRUE(m_server->ready()) << m_server->why();
    }

    std::unique_ptr<TrafficClient> client(const std::string& name, std::uint64_t up,
                                          std::uint64_t down) {
        auto c = std::make_unique<TrafficClient>(
            m_net->a(), name,
            std::vector<TrafficClient::Target>{{NetnsPair::kAddrB, m_server->port()}}, up, down);
        EXPECT_TRUE(c->connected() && c->go()) << "the client could not move its bytes";
        return c;
    }

    RunResult tool() { return runTool(m_runtime.path().string(), m_net->a()); }

    TempDir m_runtime;
    std::unique_ptr<NetnsPair> m_net;
    std::unique_ptr<TrafficServer> m_server;
};

} // namespace

TEST_F(NettopNetns, CountsRealTrafficAndKeepsItAfterTheSocketCloses) {
    constexpr std::uint64_t kSend = 300000, kReceive = 200000;
    auto c = client("qfclient", kSend, kReceive);
    const RunResult open = tool();
    ASSERT_EQ(open.exitCode, 0);
    const AppSample first = recorderReads(open);
    ASSERT_TRUE(first.count("qfclient")) << open.out;
    EXPECT_ABOUT(first.at("qfclient").in, kReceive + kAckBytes);
    EXPECT_ABOUT(first.at("qfclient").out, kSend + kRequestBytes);

    // The client closes its connection but lives on: its bytes stay on its line.
    ASSERT_TRUE(c->closeConnections());
    const RunResult closed = tool();
    const AppSample second = recorderReads(closed);
    ASSERT_TRUE(second.count("qfclient")) << closed.out;
    EXPECT_ABOUT(second.at("qfclient").in, kReceive + kAckBytes);
    EXPECT_ABOUT(second.at("qfclient").out, kSend + kRequestBytes);

    // Once it has exited it has no line.
    EXPECT_EQ(c->finish(), 0);
    const RunResult gone = tool();
    EXPECT_FALSE(recorderReads(gone).count("qfclient")) << gone.out;
}

TEST_F(NettopNetns, SeesIpv4AndIpv6AlikeWithEitherDumpRequest) {
    TrafficServer server6(m_net->b(), NetnsPair::kAddr6B);
    ASSERT_TRUE(server6.ready()) << server6.why();
    TrafficClient c(m_net->a(), "qfdual",
                    {{NetnsPair::kAddrB, m_server->port()}, {NetnsPair::kAddr6B, server6.port()}},
                    2000, 3000);
    ASSERT_TRUE(c.connected() && c.go()) << "the client could not reach both servers";
    const AppSample sample = recorderReads(tool());
    ASSERT_TRUE(sample.count("qfdual"));
    EXPECT_GE(sample.at("qfdual").in, 2 * (3000 + kAckBytes));
    EXPECT_LE(sample.at("qfdual").in, 2 * (3000 + kAckBytes + kSlack));
    EXPECT_GE(sample.at("qfdual").out, 2 * (2000 + kRequestBytes));
    EXPECT_LE(sample.at("qfdual").out, 2 * (2000 + kRequestBytes + kSlack));

    // The one-request dump and the per-family dumps list the same sockets with the same counts.
    ChildOptions compare;
    compare.netns = m_net->a();
    compare.body = [] {
        using namespace qfnettop;
        const auto keys = [](DumpMethod method) {
            std::vector<
                std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, bool>>
                out;
            for (const auto& r : dumpTcpSockets(method).value_or(std::vector<SocketRecord>{}))
                out.emplace_back(r.cookie, r.inode, r.bytes.rx, r.bytes.tx, r.loopback);
            std::sort(out.begin(), out.end());
            return out;
        };
        const auto both = keys(DumpMethod::Combined);
        return both == keys(DumpMethod::PerFamily) && both.size() >= 2 ? 0 : 1;
    };
    EXPECT_EQ(run(std::move(compare)).exitCode, 0);
}

TEST_F(NettopNetns, OtherUsersSocketsAreSummedPerUser) {
    constexpr uid_t kNobody = 65534;
    ASSERT_EQ(::chown(m_runtime.path().c_str(), kNobody, kNobody), 0);
    auto c = client("qfroot", 2000, 3000);

    // An unprivileged user cannot look into root's descriptors: the bytes go to "(system)".
    const RunResult r = runTool(m_runtime.path().string(), m_net->a(), kNobody);
    ASSERT_EQ(r.exitCode, 0);
    const AppSample sample = recorderReads(r);
    EXPECT_FALSE(sample.count("qfroot")) << r.out;
    ASSERT_TRUE(sample.count("(system)")) << r.out;
    EXPECT_NE(r.out.find(",(system).0,"), std::string::npos) << r.out;
    EXPECT_ABOUT(sample.at("(system)").in, 3000 + kAckBytes);
    EXPECT_ABOUT(sample.at("(system)").out, 2000 + kRequestBytes);
    struct stat st {};
    ASSERT_EQ(::stat((m_runtime / "quillfern/nettop-state.v1").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
}
