// The real program inside a network namespace, with real TCP traffic through a veth pair:
// what it records must match what the kernel counted and what the generator moved, and
// quitting must leave the last tick's totals saved.

#include "TestSupport.h"

#include <QDate>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <csignal>
#include <gtest/gtest.h>
#include <iostream>
#include <set>

using namespace qftest;

namespace {

std::string today() {
    return QDate::currentDate().toString(Qt::ISODate).toStdString();
}

// The client whose process name names its application entry.
const QString kClient = QStringLiteral("qf-e2e-client");

// What the exported history says for some days, summed (a run may straddle midnight).
struct Recorded {
    std::uint64_t totalIn = 0, totalOut = 0, appIn = 0, appOut = 0;
};

Recorded recorded(const Sandbox& box, const std::set<std::string>& days) {
    const fs::path exported = box.exportHistory();
    EXPECT_FALSE(exported.empty()) << "the history export failed";
    const QJsonObject root =
        QJsonDocument::fromJson(QByteArray::fromStdString(slurp(exported))).object();
    const auto count = [](const QJsonValue& o, const char* key) {
        return static_cast<std::uint64_t>(o.toObject().value(key).toInteger());
    };
    Recorded out;
    for (const auto& day : days) {
        const QJsonValue d = root.value(QString::fromStdString(day));
        const QJsonValue app = d.toObject().value("apps").toObject().value(kClient);
        out = {out.totalIn + count(d, "totalIn"), out.totalOut + count(d, "totalOut"),
               out.appIn + count(app, "in"), out.appOut + count(app, "out")};
    }
    return out;
}

class E2eTraffic : public ::testing::Test {
protected:
    void SetUp() override {
        if (missingProgram({"xdotool"}) == "xdotool")
            GTEST_SKIP() << "xdotool is not installed (scripts/test installs it)";
        m_net = std::make_unique<NetnsPair>();
        if (!m_net->ready())
            GTEST_SKIP() << m_net->why();
        // The program and xdotool reach the server in A by its abstract socket.
        m_x = std::make_unique<XServer>(m_net->a(), m_box.log("xvfb"));
        ASSERT_TRUE(m_x->ready()) << m_x->why();
        m_box.setDisplay(m_x->display());
        m_server =
            std::make_unique<TrafficServer>(m_net->b(), NetnsPair::kAddrB, m_box.log("server"));
        ASSERT_TRUE(m_server->ready()) << m_server->why();
    }

    void TearDown() override {
        if (HasFailure())
            std::cout << m_box.logs();
    }

    // Launches the program in namespace A and waits for its card and its first sample.
    std::unique_ptr<Child> launch() {
        auto program = m_box.launch("program", m_net->a());
        EXPECT_TRUE(waitUntil([&] { return !m_x->windowsOf(program->pid()).empty(); }) &&
                    waitForToolRuns(1))
            << "no card appeared, or the recorder never sampled";
        return program;
    }

    // Waits for `runs` more runs of the recorder's sampler, each of which replaces the
    // per-process tool's state file. Between two of them the once-a-second tick has come at
    // least once, since both are timers of one event loop.
    bool waitForToolRuns(int runs) const {
        const fs::path state = m_box.runtimeDir() / "quillfern/nettop-state.v1";
        std::error_code ec;
        for (auto last = fs::last_write_time(state, ec); runs > 0; --runs) {
            if (!waitUntil([&] { return fs::last_write_time(state, ec) != last; }, 60s))
                return false;
            last = fs::last_write_time(state, ec);
        }
        return true;
    }

    Sandbox m_box;
    std::unique_ptr<NetnsPair> m_net;
    std::unique_ptr<XServer> m_x;
    std::unique_ptr<TrafficServer> m_server;
};

} // namespace

// 50 MiB each way by one process that lives across two sampling periods; quitting from the
// menu saves the last tick's totals.
TEST_F(E2eTraffic, RealTrafficLandsInTotalsAndInTheSendersApplicationEntry) {
    constexpr std::uint64_t kAmount = 50 * 1024 * 1024;
    const std::string launchDay = today();
    // Connected first, so the program's first sample already knows the client and the
    // transfer is growth between two samples. Its name names its application entry.
    TrafficClient client(m_net->a(), kClient.toStdString(), {{NetnsPair::kAddrB, m_server->port()}},
                         kAmount, kAmount, m_box.log("client"));
    ASSERT_TRUE(client.connected());
    const auto before = interfaceCounters(m_net->a());
    auto program = launch();
    ASSERT_FALSE(HasFailure());
    ASSERT_EQ(client.go(), std::make_pair(kAmount, kAmount)) << "the transfer failed";

    // Two samples with the client still alive and connected.
    ASSERT_TRUE(waitForToolRuns(2));
    ASSERT_TRUE(client.running());
    const auto after = interfaceCounters(m_net->a());
    ASSERT_TRUE(before && after);
    // Right-click the card, its only window; from no current item, Up selects the last
    // enabled one, "退出羽蕨".
    const Geometry g = m_x->geometry(m_x->windowsOf(program->pid()).front());
    ASSERT_TRUE(m_x->click(g.x + g.width / 2, g.y + g.height / 2, 3));
    ASSERT_TRUE(waitUntil([&] { return m_x->windowsOf(program->pid()).size() > 1; }))
        << "the context menu did not open";
    m_x->xdo({"key", "Up", "Return"});
    EXPECT_EQ(exitCode(program->waitExit(60s).value_or(-1)), 0);

    // Within 1 % of what the kernel counted on the interface, and within 10 % of what the
    // client moved: counting a socket once per thread or per descriptor would double it.
    const Recorded rec = recorded(m_box, {launchDay, today()});
    const double in = double(after->rx - before->rx), out = double(after->tx - before->tx);
    EXPECT_NEAR(double(rec.totalIn), in, 0.01 * in);
    EXPECT_NEAR(double(rec.totalOut), out, 0.01 * out);
    EXPECT_NEAR(double(rec.appIn), double(kAmount), 0.1 * kAmount);
    EXPECT_NEAR(double(rec.appOut), double(kAmount), 0.1 * kAmount);
}

// Counting every link shows a container's download twice over (in on the uplink, out on the
// container's veth); the automatic choice counts it once. The container's namespace is routed
// through the program's namespace A, whose uplink to B carries the default route.
TEST_F(E2eTraffic, ContainerDownloadCountsOnceAutomaticallyAndTwiceOverEveryLink) {
    NetnsPair ct;
    ASSERT_TRUE(ct.ready()) << ct.why();
    const std::string& a = m_net->a();
    const std::string link = ct.ifaceB(); // the container's peer, moved into A
    const std::vector<std::vector<std::string>> steps = {
        {"ip", "-n", ct.a(), "addr", "flush", "dev", ct.ifaceA()},
        {"ip", "-n", ct.a(), "addr", "add", "10.214.0.2/24", "dev", ct.ifaceA()},
        {"ip", "-n", ct.b(), "link", "set", link, "netns", a},
        {"ip", "-n", a, "addr", "add", "10.214.0.1/24", "dev", link},
        {"ip", "-n", a, "link", "set", link, "up"},
        {"ip", "-n", a, "route", "add", "default", "via", NetnsPair::kAddrB},
        {"ip", "-n", ct.a(), "route", "add", "default", "via", "10.214.0.1"},
        {"ip", "-n", m_net->b(), "route", "add", "10.214.0.0/24", "via", NetnsPair::kAddrA},
        {"ip", "netns", "exec", a, "sysctl", "-qw", "net.ipv4.ip_forward=1"},
    };
    for (const auto& step : steps)
        ASSERT_EQ(run(step).exitCode, 0) << step[3] << " " << step[4] << " ... failed";

    // Today's totals over one run of the program in A while the container downloads, first
    // with the automatic choice of links, then with every link.
    constexpr std::uint64_t kDownload = 20'000'000;
    const auto about = [](std::uint64_t v) { return v >= kDownload && v <= kDownload * 11 / 10; };
    for (const bool everyLink : {false, true}) {
        SCOPED_TRACE(everyLink ? "every link" : "automatic");
        if (everyLink)
            QSettings(QString::fromStdString(m_box.configFile().string()), QSettings::IniFormat)
                .setValue("interfaces", "all");
        const Recorded before = recorded(m_box, {today()});
        TrafficClient client(ct.a(), "qf-container", {{NetnsPair::kAddrB, m_server->port()}}, 0,
                             kDownload, m_box.log("container"));
        ASSERT_TRUE(client.connected()) << "the container cannot reach the server";
        auto program = launch();
        ASSERT_EQ(client.go(), std::make_pair(std::uint64_t{0}, kDownload));
        ASSERT_TRUE(waitForToolRuns(2));
        program->signal(SIGTERM);
        ASSERT_EQ(exitCode(program->waitExit(60s).value_or(-1)), 0);
        const Recorded after = recorded(m_box, {today()});
        const std::uint64_t in = after.totalIn - before.totalIn,
                            out = after.totalOut - before.totalOut;
        EXPECT_TRUE(about(in)) << in;
        EXPECT_TRUE(everyLink ? about(out) : out < 1'000'000u) << out;
    }
}
