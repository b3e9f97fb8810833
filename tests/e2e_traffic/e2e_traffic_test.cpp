// The real program inside a network namespace, with real TCP traffic through a veth pair:
// what it records must match what the kernel counted and what the generator moved, and
// quitting must leave the last tick's totals saved.

#include "TestSupport.h"

#include <QDate>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <csignal>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <set>
#include <sys/stat.h>

using namespace qftest;

namespace {

// The client's process name, which names its application entry in the traffic file.
const std::string kClientName = "qf-e2e-client";
constexpr std::uint64_t kMiB = 1024 * 1024;
const std::string kHistoryTitle = "流量统计";

std::string today() {
    return QDate::currentDate().toString(Qt::ISODate).toStdString();
}

// What the traffic file says for a set of days, summed (a run may straddle midnight).
struct Recorded {
    std::uint64_t totalIn = 0, totalOut = 0;
    std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> apps; // in, out
};

void readTraffic(const fs::path& path, const std::set<std::string>& days, Recorded& out) {
    QFile f(QString::fromStdString(path.string()));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << "no traffic file at " << path;
    QJsonParseError err{};
    const QJsonObject root = QJsonDocument::fromJson(f.readAll(), &err).object();
    ASSERT_EQ(err.error, QJsonParseError::NoError) << err.errorString().toStdString();
    const auto count = [](const QJsonObject& o, const char* key) {
        return static_cast<std::uint64_t>(o.value(key).toInteger());
    };
    for (const auto& day : days) {
        const QJsonObject d = root.value(QString::fromStdString(day)).toObject();
        out.totalIn += count(d, "totalIn");
        out.totalOut += count(d, "totalOut");
        const QJsonObject apps = d.value("apps").toObject();
        for (auto it = apps.begin(); it != apps.end(); ++it) {
            auto& [in, sent] = out.apps[it.key().toStdString()];
            in += count(it.value().toObject(), "in");
            sent += count(it.value().toObject(), "out");
        }
    }
}

class E2eTraffic : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string tool = missingProgram({"ip", "Xvfb", "xdotool"}); !tool.empty())
            GTEST_SKIP() << tool << " is not installed (scripts/test installs it)";
        NetnsPair::removeStale();
        m_net = std::make_unique<NetnsPair>();
        if (!m_net->ready())
            GTEST_SKIP() << m_net->why();
        ASSERT_TRUE(fs::exists(programPath()) && fs::exists(toolPath())) << "not built";
        m_x = std::make_unique<XServer>("1280x800x24", m_net->a(), m_box.log("xvfb"));
        ASSERT_TRUE(m_x->ready()) << m_x->why();
        m_box.setDisplay(m_x->display());
        // The windows are found by their Chinese titles; any other language gets English ones.
        m_box.addEnv("LANGUAGE=zh_CN");
        // xdotool beside the program reaches the server by its abstract socket, as the
        // program does, whatever happens to the socket file in /tmp.
        m_xdo = std::make_unique<Xdo>(m_x->display(), m_net->a());
        m_server =
            std::make_unique<TrafficServer>(m_net->b(), NetnsPair::kAddrB, m_box.log("server"));
        ASSERT_TRUE(m_server->ready()) << m_server->why();
    }

    void TearDown() override {
        if (HasFailure())
            std::cout << m_box.logs();
    }

    // Launches the program in namespace A and waits for its widget.
    std::unique_ptr<Child> launch(const std::string& log = "program") {
        auto program = m_box.launch(log, m_net->a());
        const bool shown =
            waitUntil([&] { return !panelOf(*program).empty() || !program->running(); });
        EXPECT_TRUE(shown && program->running()) << "no widget appeared";
        return program;
    }

    std::string panelOf(Child& program) const {
        const auto ids = m_xdo->search(
            {"--all", "--pid", std::to_string(program.pid()), "--name", "^Quillfern$"});
        return ids.empty() ? std::string() : ids.front();
    }

    std::vector<std::string> historyOf(Child& program, bool hiddenToo = false) const {
        return m_xdo->search(
            {"--all", "--pid", std::to_string(program.pid()), "--name", kHistoryTitle}, hiddenToo);
    }

    // The per-process tool replaces its state file on every run of the recorder's sampler.
    std::string toolRunStamp() const {
        struct stat st {};
        const auto state = m_box.runtimeDir() / "quillfern" / "nettop-state.v1";
        if (::stat(state.c_str(), &st) != 0)
            return {};
        return std::to_string(st.st_ino) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
               std::to_string(st.st_mtim.tv_nsec);
    }

    // Waits for `runs` more runs of the recorder's sampler. Between two of them the
    // once-a-second tick has come at least once, since both are timers of one event loop.
    ::testing::AssertionResult waitForToolRuns(int runs) const {
        std::string last = toolRunStamp();
        for (int seen = 0; seen < runs; ++seen) {
            if (!waitUntil([&] { return toolRunStamp() != last; }, 60s,
                           m_box.runtimeDir() / "quillfern"))
                return ::testing::AssertionFailure() << "the sampler ran " << seen << " times";
            last = toolRunStamp();
        }
        return ::testing::AssertionSuccess();
    }

    // Right-clicks the widget and works its context menu with the given keys.
    void chooseFromMenu(Child& program, const std::vector<std::string>& keys) {
        const std::string panel = panelOf(program);
        const auto g = m_xdo->geometry(panel);
        ASSERT_TRUE(g) << "no widget geometry";
        const std::size_t before = m_xdo->windowsOf(program.pid()).size();
        ASSERT_TRUE(m_xdo->click(g->x + g->width / 2, g->y + g->height / 2, 3));
        ASSERT_TRUE(waitUntil([&] { return m_xdo->windowsOf(program.pid()).size() > before; }))
            << "the context menu did not open";
        ASSERT_TRUE(m_xdo->key(keys));
    }

    static void expectCleanExit(Child& program) {
        const auto status = program.waitExit(60s);
        ASSERT_TRUE(status) << "the program did not end";
        EXPECT_EQ(describeStatus(*status), "exited with 0");
    }

    Sandbox m_box;
    std::unique_ptr<NetnsPair> m_net;
    std::unique_ptr<XServer> m_x;
    std::unique_ptr<Xdo> m_xdo;
    std::unique_ptr<TrafficServer> m_server;
};

} // namespace

// 50 MiB each way by one process that lives across two sampling periods, while the menu's
// login toggle writes the autostart entry; quitting from the menu saves the last tick's totals.
TEST_F(E2eTraffic, RealTrafficLandsInTotalsAndInTheSendersApplicationEntry) {
    constexpr std::uint64_t kAmount = 50 * kMiB;
    std::set<std::string> days = {today()};
    // Connected first, so the program's first sample already knows the client and the
    // transfer is growth between two samples.
    auto client = std::make_unique<TrafficClient>(
        m_net->a(), kClientName,
        std::vector<TrafficClient::Target>{{NetnsPair::kAddrB, m_server->port()}}, kAmount, kAmount,
        m_box.log("client"));
    ASSERT_TRUE(client->connected());
    const auto before = interfaceCounters(m_net->a());
    ASSERT_TRUE(before);

    auto program = launch();
    ASSERT_TRUE(waitForToolRuns(1));
    const auto moved = client->go();
    ASSERT_TRUE(moved) << "the transfer failed";
    EXPECT_EQ(*moved, std::make_pair(kAmount, kAmount));

    // Down from no current item selects the first enabled one, "重置统计"; the fourth is
    // "登录时启动" (the entry's removal is the platform suite's).
    const fs::path entry = m_box.autostartEntry();
    ASSERT_NO_FATAL_FAILURE(chooseFromMenu(*program, {"Down", "Down", "Down", "Down", "Return"}));
    ASSERT_TRUE(waitUntil([&] { return fs::exists(entry); }, 30s, entry.parent_path()))
        << "no autostart entry written";
    EXPECT_NE(slurp(entry).find(programPath().string()), std::string::npos) << slurp(entry);
    ASSERT_TRUE(waitUntil([&] { return m_xdo->windowsOf(program->pid()).size() == 1; }));

    // Two samples with the client still alive and connected.
    ASSERT_TRUE(waitForToolRuns(2));
    ASSERT_TRUE(client->running());
    const auto after = interfaceCounters(m_net->a());
    ASSERT_TRUE(after);
    // The last item, "退出羽蕨": from no current item, Up selects the last enabled one.
    ASSERT_NO_FATAL_FAILURE(chooseFromMenu(*program, {"Up", "Return"}));
    ASSERT_NO_FATAL_FAILURE(expectCleanExit(*program));
    days.insert(today());
    EXPECT_EQ(client->finish(), 0);

    // Within 1 % of what the kernel counted on the interface, over today and the launch day
    // (should midnight have passed).
    Recorded rec;
    ASSERT_NO_FATAL_FAILURE(readTraffic(m_box.exportHistory(), days, rec));
    EXPECT_NEAR(double(rec.totalIn), double(after->rx - before->rx),
                0.01 * double(after->rx - before->rx));
    EXPECT_NEAR(double(rec.totalOut), double(after->tx - before->tx),
                0.01 * double(after->tx - before->tx));
    ASSERT_TRUE(rec.apps.count(kClientName)) << "no entry \"" << kClientName << "\"";
    // Counting a socket once per thread or per descriptor would double it.
    const auto [appIn, appOut] = rec.apps[kClientName];
    EXPECT_NEAR(double(appIn), double(kAmount), 0.1 * double(kAmount));
    EXPECT_NEAR(double(appOut), double(kAmount), 0.1 * double(kAmount));
}

// A second launch hands over to the first: it opens the history window there and leaves.
TEST_F(E2eTraffic, SecondLaunchOpensHistoryInTheFirstAndExits) {
    auto first = launch();
    EXPECT_TRUE(historyOf(*first).empty()) << "history open before it was asked for";
    auto second = m_box.launch("program2", m_net->a());
    ASSERT_NO_FATAL_FAILURE(expectCleanExit(*second));
    ASSERT_TRUE(first->running()) << "the first instance ended";

    std::vector<std::string> history;
    ASSERT_TRUE(waitUntil([&] { return !(history = historyOf(*first)).empty(); }))
        << "the first instance showed no history window";
    ASSERT_EQ(history.size(), 1u);

    // Hidden with Esc and asked for again: it comes back, and no second one is made.
    ASSERT_EQ(m_xdo->run({"windowfocus", "--sync", history.front()}).exitCode, 0);
    ASSERT_TRUE(m_xdo->key({"Escape"}));
    ASSERT_TRUE(waitUntil([&] { return historyOf(*first).empty(); })) << "Esc did not hide it";
    auto third = m_box.launch("program3", m_net->a());
    ASSERT_NO_FATAL_FAILURE(expectCleanExit(*third));
    ASSERT_TRUE(waitUntil([&] { return !historyOf(*first).empty(); }));
    EXPECT_EQ(historyOf(*first, true).size(), 1u);

    first->signal(SIGTERM);
    expectCleanExit(*first);
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
        {"-n", ct.a(), "addr", "flush", "dev", ct.ifaceA()},
        {"-n", ct.a(), "addr", "add", "10.214.0.2/24", "dev", ct.ifaceA()},
        {"-n", ct.b(), "link", "set", link, "netns", a},
        {"-n", a, "addr", "add", "10.214.0.1/24", "dev", link},
        {"-n", a, "link", "set", link, "up"},
        {"-n", a, "route", "add", "default", "via", NetnsPair::kAddrB},
        {"-n", ct.a(), "route", "add", "default", "via", "10.214.0.1"},
        {"-n", m_net->b(), "route", "add", "10.214.0.0/24", "via", NetnsPair::kAddrA},
    };
    for (std::vector<std::string> step : steps) {
        step.insert(step.begin(), "ip");
        const RunResult r = run(step);
        ASSERT_EQ(r.exitCode, 0) << step[3] << " ...: " << r.err;
    }
    ChildOptions forward;
    forward.netns = a;
    forward.argv = {"sh", "-c", "echo 1 > /proc/sys/net/ipv4/ip_forward"};
    ASSERT_EQ(run(std::move(forward)).exitCode, 0);

    // Today's totals over one run of the program in A while the container downloads.
    constexpr std::uint64_t kDownload = 20'000'000;
    const auto downloadThroughA = [&] {
        Recorded before, after;
        if (fs::exists(m_box.trafficStore())) {
            readTraffic(m_box.exportHistory(), {today()}, before);
        }
        TrafficClient client(ct.a(), "qf-container", {{NetnsPair::kAddrB, m_server->port()}}, 0,
                             kDownload, m_box.log("container"));
        EXPECT_TRUE(client.connected()) << "the container cannot reach the server";
        auto program = launch();
        EXPECT_TRUE(waitForToolRuns(1));
        const auto moved = client.go();
        EXPECT_TRUE(moved && moved->second == kDownload) << "the download failed";
        EXPECT_TRUE(waitForToolRuns(2));
        program->signal(SIGTERM);
        expectCleanExit(*program);
        readTraffic(m_box.exportHistory(), {today()}, after);
        return std::pair(after.totalIn - before.totalIn, after.totalOut - before.totalOut);
    };
    const auto about = [](std::uint64_t v) { return v >= kDownload && v <= kDownload * 11 / 10; };

    const auto [autoIn, autoOut] = downloadThroughA();
    ASSERT_FALSE(HasFailure());
    EXPECT_TRUE(about(autoIn)) << autoIn;
    EXPECT_LT(autoOut, 1'000'000u);

    QSettings config(QString::fromStdString(m_box.configFile().string()), QSettings::IniFormat);
    config.setValue("interfaces", "all");
    config.sync();
    const auto [allIn, allOut] = downloadThroughA();
    ASSERT_FALSE(HasFailure());
    EXPECT_TRUE(about(allIn)) << allIn;
    EXPECT_TRUE(about(allOut)) << allOut;
}
