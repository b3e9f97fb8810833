// The real program inside a network namespace, with real TCP traffic through veth pairs: what
// it records must match what the generator moved, counted once, and quitting must leave the
// last tick's totals saved.

#include "TestSupport.h"

#include <QDate>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <csignal>
#include <gtest/gtest.h>
#include <iostream>

using namespace qftest;

namespace {

std::string today() {
    return QDate::currentDate().toString(Qt::ISODate).toStdString();
}

// What the exported history says for some days, summed (a run may straddle midnight).
struct Recorded {
    std::uint64_t totalIn = 0, totalOut = 0, appIn = 0, appOut = 0;
};

Recorded recorded(const Sandbox& box, const std::string& app, const std::string& since) {
    const fs::path exported = box.exportHistory();
    EXPECT_FALSE(exported.empty()) << "the history export failed";
    const QJsonObject root =
        QJsonDocument::fromJson(QByteArray::fromStdString(slurp(exported))).object();
    const auto count = [](const QJsonValue& o, const char* key) {
        return static_cast<std::uint64_t>(o.toObject().value(key).toInteger());
    };
    Recorded out;
    for (const std::string& day : {since, today()}) {
        const QJsonValue d = root.value(QString::fromStdString(day));
        const QJsonValue a =
            d.toObject().value("apps").toObject().value(QString::fromStdString(app));
        out = {out.totalIn + count(d, "totalIn"), out.totalOut + count(d, "totalOut"),
               out.appIn + count(a, "in"), out.appOut + count(a, "out")};
        if (since == today())
            break;
    }
    return out;
}

class E2eTraffic : public ::testing::Test {
protected:
    void TearDown() override {
        if (HasFailure())
            std::cout << m_box.logs();
    }
    Sandbox m_box;
};

} // namespace

// Three runs of the program in namespace A, each while one client moves a known amount and
// lives across two sampling periods: a client in A itself (its process name names its
// application entry, and its data directory is removed under it, as a user cleaning up might:
// the day must reach a new store whole), then a container routed through A downloading, counted
// once by the automatic choice of links and twice over (in on the uplink, out on the container's
// veth) when every link counts.
TEST_F(E2eTraffic, RealTrafficIsCountedOnceInTotalsAndInTheSendersApplicationEntry) {
    if (!missingProgram({"xdotool"}).empty())
        GTEST_SKIP() << "xdotool is not installed (scripts/test installs it)";
    NetnsPair net, ct;
    if (!net.ready())
        GTEST_SKIP() << net.why();
    ASSERT_TRUE(ct.ready()) << ct.why();
    // The program and xdotool reach the X server in A by its abstract socket.
    XServer x(net.a(), m_box.log("xvfb"));
    ASSERT_TRUE(x.ready()) << x.why();
    m_box.setDisplay(x.display());
    TrafficServer server(net.b(), NetnsPair::kAddrB, m_box.log("server"));
    ASSERT_TRUE(server.ready()) << server.why();
    // The container's end of its pair stays in ct.a(); the peer moves into A, whose uplink to
    // B carries the default route.
    const std::string& a = net.a();
    const std::string link = ct.ifaceB();
    for (const std::string& step :
         {"-n " + ct.a() + " addr flush dev " + ct.ifaceA(),
          "-n " + ct.a() + " addr add 10.214.0.2/24 dev " + ct.ifaceA(),
          "-n " + ct.b() + " link set " + link + " netns " + a,
          "-n " + a + " addr add 10.214.0.1/24 dev " + link,
          "-n " + a + " link set " + link + " up",
          "-n " + a + " route add default via " + NetnsPair::kAddrB,
          "-n " + ct.a() + " route add default via 10.214.0.1",
          "-n " + net.b() + " route add 10.214.0.0/24 via " + NetnsPair::kAddrA,
          "netns exec " + a + " sysctl -qw net.ipv4.ip_forward=1"})
        ASSERT_EQ(run({"sh", "-c", "ip " + step}).exitCode, 0) << step;

    constexpr std::uint64_t kBoth = 50 << 20, kDownload = 20'000'000;
    const struct {
        std::string netns, client, interfaces;
        std::uint64_t up, down, expectIn, expectOut; // expectOut 0: acknowledgements only
        bool removeStore = false;
    } cases[] = {{a, "qf-e2e-client", "auto", kBoth, kBoth, kBoth, kBoth, true},
                 {ct.a(), "qf-container", "auto", 0, kDownload, kDownload, 0},
                 {ct.a(), "qf-container", "all", 0, kDownload, kDownload, kDownload}};
    // The payload, give or take what the tool may miss and the packets' headers add;
    // counting a socket or a link twice doubles it.
    const auto about = [](std::uint64_t v, std::uint64_t payload) {
        return payload == 0 ? v < 1'000'000 : v >= payload * 9 / 10 && v <= payload * 23 / 20;
    };
    const fs::path state = m_box.runtimeDir() / "quillfern/nettop-state.v1";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.client + " with links " + c.interfaces);
        QSettings(QString::fromStdString(m_box.configFile().string()), QSettings::IniFormat)
            .setValue("interfaces", QString::fromStdString(c.interfaces));
        const std::string day = today();
        const Recorded before = recorded(m_box, c.client, day);
        // Connected first, so the program's first sample already knows the client and the
        // transfer is growth between two samples.
        TrafficClient client(c.netns, c.client, {{NetnsPair::kAddrB, server.port()}}, c.up, c.down,
                             m_box.log("client"));
        ASSERT_TRUE(client.connected()) << "the client cannot reach the server";
        auto program = m_box.launch("program", a);
        ASSERT_TRUE(waitUntil([&] { return !x.windowsOf(program->pid()).empty(); }))
            << "no card appeared";
        // Each run of the recorder's sampler replaces the per-process tool's state file; between
        // two of them the once-a-second tick has come at least once (both are timers of one
        // event loop).
        std::error_code ec;
        auto last = fs::last_write_time(state, ec);
        const auto nextRun = [&] {
            const bool ran = waitUntil([&] { return fs::last_write_time(state, ec) != last; }, 60s);
            last = fs::last_write_time(state, ec);
            return ran;
        };
        ASSERT_TRUE(nextRun()) << "the recorder never sampled";
        if (c.removeStore)
            fs::remove_all(m_box.root() / "data/Quillfern");
        ASSERT_TRUE(client.go()) << "the transfer failed";
        ASSERT_TRUE(nextRun() && nextRun()) << "the recorder stopped sampling";
        ASSERT_TRUE(client.running());
        program->signal(SIGTERM); // the menu's quit takes the same road (the WM suite uses it)
        ASSERT_EQ(exitCode(program->waitExit(60s).value_or(-1)), 0);

        const Recorded after = recorded(m_box, c.client, day);
        EXPECT_TRUE(about(after.totalIn - before.totalIn, c.expectIn)) << after.totalIn;
        EXPECT_TRUE(about(after.totalOut - before.totalOut, c.expectOut)) << after.totalOut;
        if (c.netns == a) { // the container's sockets are out of the tool's sight
            EXPECT_TRUE(about(after.appIn - before.appIn, c.down)) << after.appIn;
            EXPECT_TRUE(about(after.appOut - before.appOut, c.up)) << after.appOut;
        }
    }
}
