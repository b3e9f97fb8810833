#include "NettopRunner.h"
#include "RecorderTestSupport.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void ensureApp() {
    static int argc = 1;
    static char name[] = "recorder_sampling_test";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);
}

// Counts the samples a recorder has applied, and waits for a given total.
class Samples {
public:
    explicit Samples(TrafficRecorder& recorder)
        : m_connection(QObject::connect(&recorder, &TrafficRecorder::sampleApplied, [this] {
              if (++m_count >= m_target && m_loop)
                  m_loop->quit();
          })) {}
    ~Samples() { QObject::disconnect(m_connection); }

    // The deadline only guards against a broken build; samples arrive as events.
    bool reach(int total) {
        if (m_count >= total)
            return true;
        QEventLoop loop;
        m_loop = &loop;
        m_target = total;
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        loop.exec();
        m_loop = nullptr;
        return m_count >= total;
    }

private:
    int m_count = 0;
    int m_target = 0;
    QEventLoop* m_loop = nullptr;
    QMetaObject::Connection m_connection;
};

bool gone(pid_t pid) {
    return qftest::waitUntil([pid] { return !qftest::processAlive(pid); });
}

// A stand-in tool: a shell script in the test's own directory. Every run notes its arguments
// and its process id; `forkGrandchild` has it leave a long sleep behind, noting its pid too.
class FakeTool : public ::testing::Test {
protected:
    void SetUp() override { ensureApp(); }

    QString path(const QString& name) const { return store.dir.filePath(name); }
    QByteArray quoted(const QString& name) const {
        return "'" + QFile::encodeName(path(name)) + "'";
    }

    static constexpr bool forkGrandchild = true;
    void script(const QByteArray& body, bool grandchild = false) {
        QFile file(path("tool"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n");
        file.write("echo \"$@\" >> " + quoted("runs") + "\n");
        file.write("echo $$ > " + quoted("pid") + "\n");
        if (grandchild)
            file.write("sleep 1000 & echo $! > " + quoted("grandchild") + "\n");
        file.write(body);
        file.close();
        ::chmod(QFile::encodeName(path("tool")).constData(), 0755);
    }
    // Has the script announce that it got this far on a FIFO, and wait for the test to read it.
    QByteArray announce() {
        ::mkfifo(QFile::encodeName(path("ready")).constData(), 0600);
        return "echo ready > " + quoted("ready") + "\n";
    }
    void awaitAnnouncement() {
        QFile fifo(path("ready"));
        ASSERT_TRUE(fifo.open(QIODevice::ReadOnly));
        fifo.readAll();
    }

    void output(const QByteArray& bytes) {
        QFile file(path("out"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }
    void outputFixture(const char* name) {
        QFile file(QStringLiteral(QUILLFERN_SOURCE_DIR "/tests/fixtures/nettop/") + name);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        output(file.readAll());
    }
    QByteArray catOutput() const { return "cat " + quoted("out") + "\n"; }

    QStringList runs() const {
        QFile file(path("runs"));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    pid_t pidIn(const char* name) const {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toInt() : 0;
    }

    std::unique_ptr<TrafficRecorder> recorder(int timeoutMs = 60000, int sampleMs = 15000,
                                              int saveMs = 60000) {
        TrafficRecorder::Config config;
        config.dataPath = store.path();
        config.toolPath = path("tool");
        config.toolArgs = {"-P", "-x", "-L", "1", "-s", "1"};
        config.toolTimeoutMs = timeoutMs;
        config.sampleIntervalMs = sampleMs;
        config.saveIntervalMs = saveMs;
        return std::make_unique<TrafficRecorder>(config);
    }

    TempStore store;
};

} // namespace

TEST_F(FakeTool, ARunCountsOnlyWhenTheToolSucceedsAndLeavesNothingBehind) {
    script("printf 't,a.1,,,1,2\\n'\n", forkGrandchild);
    NettopRun run = runNettop(path("tool"), {"-x"}, 60000);
    EXPECT_TRUE(run.ok()) << run.failure.toStdString();
    EXPECT_EQ(run.output, "t,a.1,,,1,2\n");
    // The grandchild holds the output pipe open, yet the run ended, and so did it.
    EXPECT_TRUE(gone(pidIn("grandchild")));

    for (const QByteArray& failing : {QByteArray("printf 't,a.1,,,1,2\\n'\nexit 3\n"),
                                      QByteArray("printf 't,a.1,,,1,2\\n'\nkill -9 $$\n"),
                                      QByteArray("printf 't,a.1,,,1,2\\n\\377\\n'\n")}) {
        script(failing);
        run = runNettop(path("tool"), {}, 60000);
        EXPECT_FALSE(run.ok()) << failing.toStdString();
        EXPECT_TRUE(run.output.isEmpty()) << failing.toStdString();
    }
    EXPECT_FALSE(runNettop(path("no-such-tool"), {}, 60000).ok());
}

TEST_F(FakeTool, TheTimeLimitEndsTheToolAndEverythingItForked) {
    script("printf 't,a.1,,,1,1\\n'\nexec sleep 1000\n", forkGrandchild);
    // A short limit; a machine too busy to get the grandchild going within it gets a longer one.
    NettopRun run;
    for (int limit = 250; limit <= 64000; limit *= 2) {
        QFile::remove(path("grandchild"));
        run = runNettop(path("tool"), {}, limit);
        if (pidIn("grandchild") > 0)
            break;
    }
    ASSERT_GT(pidIn("grandchild"), 0);
    EXPECT_FALSE(run.ok());
    EXPECT_TRUE(run.output.isEmpty());
    EXPECT_FALSE(qftest::processAlive(pidIn("pid"))); // reaped before the run returned
    EXPECT_TRUE(gone(pidIn("grandchild")));
}

TEST_F(FakeTool, EndingTheRecorderOrTheProgramEndsTheToolAndItsChildren) {
    script(announce() + "exec sleep 1000\n", forkGrandchild);
    auto r = recorder();
    r->sampleAppTraffic();
    awaitAnnouncement();
    r.reset();
    EXPECT_FALSE(qftest::processAlive(pidIn("pid")));
    EXPECT_TRUE(gone(pidIn("grandchild")));

    // A program that quits, or is killed, while its tool runs (it never releases its recorder).
    for (const bool killed : {false, true}) {
        qftest::ChildOptions o;
        o.argv = {QUILLFERN_SAMPLING_DRIVER, store.path().toStdString(),
                  path("tool").toStdString()};
        o.pipeStdin = true;
        qftest::Child program(std::move(o));
        program.writeStdin("sample\n");
        awaitAnnouncement();
        if (killed)
            program.kill();
        else
            program.closeStdin();
        EXPECT_TRUE(program.waitExit().has_value());
        EXPECT_TRUE(gone(pidIn("pid"))) << "killed: " << killed;
        EXPECT_TRUE(gone(pidIn("grandchild"))) << "killed: " << killed;
    }
}

TEST_F(FakeTool, SamplesAreAppliedAsTheyGrowAndFailedRunsOnlyReset) {
    script(catOutput() + "exit \"$(cat " + quoted("status") + " 2>/dev/null || echo 0)\"\n");
    const auto setStatus = [&](const char* status) {
        QFile file(path("status"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(status);
    };
    QStringList warnings;
    static QStringList* sink = nullptr;
    sink = &warnings;
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
            if (QByteArray(context.category) == "quillfern.tool")
                sink->append(QString::number(type) + text);
        });

    outputFixture("first.csv");
    auto r = recorder();
    Samples samples(*r);
    r->recordTotal(1, 2);
    r->startTimers();
    ASSERT_TRUE(samples.reach(1));
    EXPECT_EQ(runs(), QStringList{"-P -x -L 1 -s 1"});
    EXPECT_EQ(r->getToday(), DailyTraffic(2, 1)); // the reference only

    outputFixture("second.csv");
    r->sampleAppTraffic();
    ASSERT_TRUE(samples.reach(2));
    // curl's count fell under its process id: a new process, all of whose count is new.
    const DailyTraffic grown(
        2, 1, {{"kernel_task", {500, 0}}, {"curl", {150, 40}}, {"firefox", {3000, 200}}});
    EXPECT_EQ(r->getToday(), grown);

    // Part of the output and then a failure, twice: nothing is credited, and the next good
    // run only sets the reference. The failure is said once.
    output("t,firefox.4400,,,9000,9000\n");
    setStatus("1");
    r->sampleAppTraffic();
    r->sampleAppTraffic();
    ASSERT_TRUE(samples.reach(4));
    setStatus("0");
    r->sampleAppTraffic();
    ASSERT_TRUE(samples.reach(5));
    EXPECT_EQ(r->getToday(), grown);
    output("t,firefox.4400,,,9100,9000\n");
    r->sampleAppTraffic();
    ASSERT_TRUE(samples.reach(6));
    EXPECT_EQ(r->getToday()->apps.at("firefox"), AppTraffic(3100, 200));
    qInstallMessageHandler(previous);
    ASSERT_EQ(warnings.size(), 2) << warnings.join('\n').toStdString();
    EXPECT_TRUE(warnings[0].startsWith(QString::number(QtWarningMsg)));
    EXPECT_TRUE(warnings[1].startsWith(QString::number(QtInfoMsg)));

    r->stopAndSave();
    EXPECT_EQ(store.open()->getToday(), r->getToday());
}

TEST_F(FakeTool, OutputLargerThanAPipeAndNoisyStderr) {
    QByteArray big;
    for (int i = 0; i < 20000; ++i)
        big += "18:21:35.556852,proc" + QByteArray::number(i % 50) + "." + QByteArray::number(i) +
               ",,,10,1,0,0,0,,,,,,,,,,,,\n";
    output(big);
    script("head -c 300000 /dev/zero >&2\n" + catOutput());
    auto r = recorder();
    Samples samples(*r);
    r->sampleAppTraffic();
    ASSERT_TRUE(samples.reach(1));
    // Growth needs a reference: this one arrived whole if the next sample adds exactly
    // what changed.
    big.replace(",,,10,1,", ",,,11,1,");
    output(big);
    r->sampleAppTraffic();
    ASSERT_TRUE(samples.reach(2));
    ASSERT_EQ(r->getToday()->apps.size(), 50u);
    EXPECT_EQ(r->getToday()->apps.at("proc7"), AppTraffic(400, 0));
}

TEST_F(FakeTool, TimersSampleAndSaveUntilStopped) {
    script(catOutput());
    outputFixture("first.csv");
    auto r = recorder(60000, /*sampleMs=*/60000);
    Samples samples(*r);
    r->startTimers();
    r->startTimers(); // changes nothing: still one immediate sample
    r->sampleAppTraffic();
    ASSERT_TRUE(samples.reach(2));
    // The queue is serial: every earlier request has run by now.
    EXPECT_EQ(runs().size(), 2);
    r->stopAndSave();

    auto fast = recorder(60000, /*sampleMs=*/20, /*saveMs=*/20);
    Samples fastSamples(*fast);
    QFile::remove(store.path());
    fast->startTimers();
    ASSERT_TRUE(fastSamples.reach(3));
    EXPECT_TRUE(qftest::waitUntil([&] {
        QCoreApplication::processEvents();
        return QFile::exists(store.path());
    }));
    fast->stopAndSave();
    for (const QTimer* timer : fast->findChildren<QTimer*>())
        EXPECT_FALSE(timer->isActive());
}

TEST_F(FakeTool, SampleRunningAtStopIsAppliedButNotSaved) {
    script(announce() + catOutput());
    outputFixture("second.csv");
    auto r = recorder();
    Samples samples(*r);
    r->processAppSample(ProcessSample{{"curl", {0, 0}, "3120"}});
    r->sampleAppTraffic();
    awaitAnnouncement(); // the run is under way
    r->stopAndSave();
    ASSERT_TRUE(samples.reach(1));
    EXPECT_EQ(r->getToday()->apps.at("curl"), AppTraffic(150, 40));
    EXPECT_TRUE(store.open()->getToday()->apps.empty());
}

TEST_F(FakeTool, TheBuiltStandInIsFoundAndSampled) {
    const QString tool = TrafficRecorder::defaultConfig().toolPath;
    if (!QFileInfo(tool).isExecutable())
        GTEST_SKIP() << "the stand-in tool is not built: " << tool.toStdString();
    TrafficRecorder::Config config = TrafficRecorder::defaultConfig();
    const NettopRun run = runNettop(tool, config.toolArgs, config.toolTimeoutMs);
    ASSERT_TRUE(run.ok()) << run.failure.toStdString();
    EXPECT_TRUE(run.output.startsWith("time,,interface,state,bytes_in,bytes_out,"))
        << run.output.toStdString();
    config.dataPath = store.path();
    TrafficRecorder r(config);
    Samples samples(r);
    r.sampleAppTraffic();
    ASSERT_TRUE(samples.reach(1));
    EXPECT_EQ(r.getToday(), DailyTraffic());
}
