// The real program inside a network namespace, with real TCP traffic through a veth pair:
// what it records must match what the kernel counted and what the generator moved, and
// quitting must leave the last tick's totals saved.

#include "TestSupport.h"

#include <QDate>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <arpa/inet.h>
#include <cmath>
#include <csignal>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
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

    std::vector<std::string> historyOf(Child& program) const {
        return m_xdo->search(
            {"--all", "--pid", std::to_string(program.pid()), "--name", kHistoryTitle});
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

    // The file tells which applications ran: readable by the user alone.
    struct stat st {};
    ASSERT_EQ(::stat(m_box.trafficStore().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << std::oct << (st.st_mode & 0777);
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
    EXPECT_EQ(
        m_xdo
            ->search({"--all", "--pid", std::to_string(first->pid()), "--name", kHistoryTitle},
                     true)
            .size(),
        1u);

    first->signal(SIGTERM);
    expectCleanExit(*first);
}

namespace {

// A "container" namespace routed through the program's namespace A, whose uplink to B carries
// the default route: the container's download crosses the uplink and the container's veth.
class E2eLinks : public E2eTraffic {
protected:
    static constexpr const char* kContainerAddr = "10.214.0.2";
    static constexpr const char* kRouterAddr = "10.214.0.1";

    void SetUp() override {
        E2eTraffic::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        m_ct = std::make_unique<NetnsPair>();
        ASSERT_TRUE(m_ct->ready()) << m_ct->why();
        const std::string& a = m_net->a();
        const std::string& ct = m_ct->a();
        const std::string link = m_ct->ifaceB(); // the container's peer, moved into A
        ASSERT_TRUE(ip({"-n", ct, "addr", "flush", "dev", m_ct->ifaceA()}));
        ASSERT_TRUE(ip(
            {"-n", ct, "addr", "add", std::string(kContainerAddr) + "/24", "dev", m_ct->ifaceA()}));
        ASSERT_TRUE(ip({"-n", m_ct->b(), "link", "set", link, "netns", a}));
        ASSERT_TRUE(ip({"-n", a, "addr", "add", std::string(kRouterAddr) + "/24", "dev", link}));
        ASSERT_TRUE(ip({"-n", a, "link", "set", link, "up"}));
        ASSERT_TRUE(ip({"-n", a, "route", "add", "default", "via", NetnsPair::kAddrB}));
        ASSERT_TRUE(ip({"-n", ct, "route", "add", "default", "via", kRouterAddr}));
        ASSERT_TRUE(
            ip({"-n", m_net->b(), "route", "add", "10.214.0.0/24", "via", NetnsPair::kAddrA}));
        ChildOptions forward;
        forward.netns = a;
        forward.argv = {"sh", "-c", "echo 1 > /proc/sys/net/ipv4/ip_forward"};
        ASSERT_EQ(run(std::move(forward)).exitCode, 0);
    }

    static bool ip(std::vector<std::string> args) {
        args.insert(args.begin(), "ip");
        const RunResult r = run(args);
        EXPECT_EQ(r.exitCode, 0) << args[3] << " ...: " << r.err;
        return r.exitCode == 0;
    }

    // Today's totals after a run of the program in A that watches the container download.
    // `duringRun` runs once the program reads its counters, before the download.
    Recorded downloadThroughTheProgramsNamespace(const std::function<void()>& duringRun) {
        Recorded before;
        if (fs::exists(m_box.trafficStore())) {
            readTraffic(m_box.exportHistory(), {today()}, before);
        }
        auto client = std::make_unique<TrafficClient>(
            m_ct->a(), "qf-container",
            std::vector<TrafficClient::Target>{{NetnsPair::kAddrB, m_server->port()}}, 0, kDownload,
            m_box.log("container"));
        EXPECT_TRUE(client->connected()) << "the container cannot reach the server";
        auto program = launch();
        EXPECT_TRUE(waitForToolRuns(1));
        duringRun();
        const auto moved = client->go();
        EXPECT_TRUE(moved && moved->second == kDownload) << "the download failed";
        EXPECT_TRUE(waitForToolRuns(2));
        program->signal(SIGTERM);
        expectCleanExit(*program);
        Recorded after;
        readTraffic(m_box.exportHistory(), {today()}, after);
        after.totalIn -= before.totalIn;
        after.totalOut -= before.totalOut;
        return after;
    }

    static constexpr std::uint64_t kDownload = 20'000'000;
    std::unique_ptr<NetnsPair> m_ct;
};

} // namespace

// Counting every link shows the container's download twice over (in on the uplink, out on
// the container's veth); the automatic choice counts it once. A link that turns up during the
// run with 35 MB on its counters adds nothing.
TEST_F(E2eLinks, ContainerDownloadCountsOnceAutomaticallyAndTwiceOverEveryLink) {
    const Recorded automatic = downloadThroughTheProgramsNamespace([] {});
    ASSERT_FALSE(HasFailure()) << m_box.logs();

    QSettings config(QString::fromStdString(m_box.configFile().string()), QSettings::IniFormat);
    config.setValue("interfaces", "all");
    config.sync();
    // A veth in the container sends 35 MB to its peer (in an otherwise empty namespace), then
    // moves into A mid-run with those bytes on its counters.
    const std::string id = std::to_string(::getpid() % 100000);
    const std::string plug = "qfplug" + id;
    ASSERT_TRUE(ip({"-n", m_ct->a(), "link", "add", plug, "type", "veth", "peer", "name",
                    "qfpeer" + id, "netns", m_ct->b()}));
    ASSERT_TRUE(ip({"-n", m_ct->b(), "link", "set", "qfpeer" + id, "up"}));
    ASSERT_TRUE(ip({"-n", m_ct->a(), "link", "set", plug, "up"}));
    ASSERT_TRUE(ip({"-n", m_ct->a(), "addr", "add", "10.215.0.1/24", "dev", plug}));
    ASSERT_TRUE(ip({"-n", m_ct->a(), "neigh", "add", "10.215.0.2", "lladdr", "02:00:00:00:77:02",
                    "dev", plug, "nud", "permanent"}));
    ChildOptions blast;
    blast.netns = m_ct->a();
    blast.body = [] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(9);
        ::inet_pton(AF_INET, "10.215.0.2", &to.sin_addr);
        static char payload[1400];
        for (int i = 0; i < 25000; ++i) {
            ::sendto(fd, payload, sizeof payload, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        }
        return 0;
    };
    ASSERT_EQ(run(std::move(blast)).exitCode, 0);
    std::uint64_t plugged = 0;
    const Recorded all = downloadThroughTheProgramsNamespace([&] {
        const auto beforePlug = interfaceCounters(m_net->a());
        ASSERT_TRUE(ip({"-n", m_ct->a(), "link", "set", plug, "netns", m_net->a()}));
        const auto afterPlug = interfaceCounters(m_net->a());
        ASSERT_TRUE(beforePlug && afterPlug);
        plugged = afterPlug->tx - beforePlug->tx;
    });
    ASSERT_FALSE(HasFailure()) << m_box.logs();

    std::cout << "[ figures  ] container download of " << kDownload << " bytes: auto totalIn "
              << automatic.totalIn << " totalOut " << automatic.totalOut << "; all totalIn "
              << all.totalIn << " totalOut " << all.totalOut << "; plugged-in link carried "
              << plugged << " bytes out\n";
    RecordProperty("auto_totalOut", std::to_string(automatic.totalOut));
    RecordProperty("all_totalOut", std::to_string(all.totalOut));
    const auto about = [](std::uint64_t v) { return v >= kDownload && v <= kDownload * 11 / 10; };
    EXPECT_TRUE(about(automatic.totalIn)) << automatic.totalIn;
    EXPECT_LT(automatic.totalOut, 1'000'000u);
    EXPECT_TRUE(about(all.totalIn)) << all.totalIn;
    EXPECT_GE(plugged, 35'000'000u) << "the plugged-in link should bring counters of its own";
    EXPECT_TRUE(about(all.totalOut)) << all.totalOut << ": the plugged-in link made a jump?";
}
