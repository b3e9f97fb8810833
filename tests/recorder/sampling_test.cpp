#include "NettopRunner.h"
#include "RecorderTestSupport.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void ensureApp() {
    static int argc = 1;
    static char name[] = "recorder_sampling_test";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);
}

// Running, and not merely a zombie waiting for whoever adopted it to reap it.
bool processRuns(pid_t pid) {
    if (::kill(pid, 0) != 0)
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close < 0 || text.mid(close + 2, 1) != "Z";
}

bool waitForSample(TrafficRecorder& recorder, int timeoutMs = 30000) {
    QEventLoop loop;
    bool applied = false;
    const auto connection =
        QObject::connect(&recorder, &TrafficRecorder::sampleApplied, &loop, [&] {
            applied = true;
            loop.quit();
        });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(connection);
    return applied;
}

// Runs the event loop until `done` holds (or a generous deadline passes).
bool spinUntil(const std::function<bool()>& done) {
    return qftest::waitUntil([&] {
        QCoreApplication::processEvents();
        return done();
    });
}

// A stand-in tool: a shell script in the test's own directory that prints whatever file
// `out` holds and notes each run, its arguments and its process id.
class FakeTool : public ::testing::Test {
protected:
    void SetUp() override { ensureApp(); }

    QString path(const QString& name) const { return store.dir.filePath(name); }

    void script(const QByteArray& body) {
        QFile file(path("tool"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n");
        file.write("echo \"$@\" >> '" + QFile::encodeName(path("runs")) + "'\n");
        file.write("echo $$ > '" + QFile::encodeName(path("pid")) + "'\n");
        file.write(body);
        file.close();
        ::chmod(QFile::encodeName(path("tool")).constData(), 0755);
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

    QStringList runs() const {
        QFile file(path("runs"));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }

    pid_t lastPid() const {
        QFile file(path("pid"));
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toInt() : 0;
    }

    std::unique_ptr<TrafficRecorder> recorder(int timeoutMs = 5000, int sampleMs = 15000,
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

TEST_F(FakeTool, SamplesAreAppliedOnTheMainThreadAsTheyGrow) {
    script("cat '" + QFile::encodeName(path("out")) + "'\n");
    outputFixture("first.csv");
    auto r = recorder();
    r->recordTotal(1, 2);
    r->startTimers();
    ASSERT_TRUE(waitForSample(*r));
    EXPECT_EQ(runs(), QStringList{"-P -x -L 1 -s 1"});
    EXPECT_EQ(r->getToday(), DailyTraffic(2, 1)); // the reference only

    outputFixture("second.csv");
    r->sampleAppTraffic();
    ASSERT_TRUE(waitForSample(*r));
    EXPECT_EQ(r->getToday(),
              DailyTraffic(
                  2, 1, {{"kernel_task", {500, 0}}, {"curl", {50, 0}}, {"firefox", {3000, 200}}}));

    // Invalid UTF-8 is an empty sample: it drops the reference.
    output("t,firefox.4400,,,9000,9000\n\xff\xfe\n");
    r->sampleAppTraffic();
    ASSERT_TRUE(waitForSample(*r));
    output("t,firefox.4400,,,9500,9000\n");
    r->sampleAppTraffic();
    ASSERT_TRUE(waitForSample(*r));
    EXPECT_EQ(r->getToday()->apps.at("firefox"), AppTraffic(3000, 200));
    output("t,firefox.4400,,,9600,9000\n");
    r->sampleAppTraffic();
    ASSERT_TRUE(waitForSample(*r));
    EXPECT_EQ(r->getToday()->apps.at("firefox"), AppTraffic(3100, 200));
    r->stopAndSave();
    EXPECT_EQ(store.open()->getToday(), r->getToday());
}

TEST_F(FakeTool, OutputLargerThanAPipeAndNoisyStderr) {
    QByteArray big;
    for (int i = 0; i < 20000; ++i)
        big += "18:21:35.556852,proc" + QByteArray::number(i % 50) + "." + QByteArray::number(i) +
               ",,,10,1,0,0,0,,,,,,,,,,,,\n";
    output(big);
    script("head -c 300000 /dev/zero >&2\ncat '" + QFile::encodeName(path("out")) + "'\n");
    auto r = recorder();
    r->sampleAppTraffic();
    ASSERT_TRUE(waitForSample(*r));
    // Growth needs a reference: this one arrived whole if the next sample adds exactly
    // what changed.
    big.replace(",,,10,1,", ",,,11,1,");
    output(big);
    r->sampleAppTraffic();
    ASSERT_TRUE(waitForSample(*r));
    ASSERT_EQ(r->getToday()->apps.size(), 50u);
    EXPECT_EQ(r->getToday()->apps.at("proc7"), AppTraffic(400, 0));
}

TEST_F(FakeTool, HangingToolIsKilledAtTheTimeLimit) {
    output("t,a.1,,,1,1\n");
    // Were it waited for, no sample would come before the deadline.
    script("cat '" + QFile::encodeName(path("out")) + "'\nexec sleep 600\n");
    auto r = recorder(/*timeoutMs=*/300);
    r->processAppSample({{"a", {0, 0}}});
    r->sampleAppTraffic();
    ASSERT_TRUE(waitForSample(*r));
    const pid_t pid = lastPid();
    ASSERT_GT(pid, 0);
    // Killed and reaped: not even a zombie is left.
    EXPECT_EQ(::kill(pid, 0), -1);
    // The partial output was dropped: the run counts as an empty sample.
    EXPECT_TRUE(r->getToday()->apps.empty());
}

TEST_F(FakeTool, DestroyingTheRecorderEndsARunningTool) {
    // Were the tool waited for, the destructor would outlast the test's time limit.
    script("exec sleep 600\n");
    auto r = recorder(/*timeoutMs=*/600000);
    r->sampleAppTraffic();
    ASSERT_TRUE(spinUntil([&] { return lastPid() > 0; }));
    const pid_t pid = lastPid();
    r.reset();
    EXPECT_EQ(::kill(pid, 0), -1);
}

TEST_F(FakeTool, MissingToolGivesAnEmptySample) {
    auto r = recorder();
    r->processAppSample({{"a", {1, 1}}});
    r->sampleAppTraffic();
    ASSERT_TRUE(waitForSample(*r));
    r->processAppSample({{"a", {5, 5}}});
    EXPECT_EQ(r->getToday(), DailyTraffic()); // the reference was dropped
}

TEST_F(FakeTool, TimersSampleAndSaveUntilStopped) {
    script("cat '" + QFile::encodeName(path("out")) + "'\n");
    outputFixture("first.csv");
    auto r = recorder(5000, /*sampleMs=*/100, /*saveMs=*/150);
    r->startTimers();
    r->startTimers(); // changes nothing: still one immediate sample, one schedule
    ASSERT_TRUE(waitForSample(*r));
    EXPECT_EQ(runs().size(), 1);
    ASSERT_TRUE(spinUntil([&] { return runs().size() >= 3; }));
    EXPECT_TRUE(spinUntil([&] { return QFile::exists(store.path()); })); // the save timer

    // Once stopped, a timer of three sampling periods fires with at most the run that was
    // already under way behind it: a live sampling timer would have come first.
    r->stopAndSave();
    const int atStop = runs().size();
    bool fired = false;
    QTimer::singleShot(300, [&] { fired = true; });
    ASSERT_TRUE(spinUntil([&] { return fired; }));
    EXPECT_LE(runs().size(), atStop + 1);
}

TEST_F(FakeTool, SampleRunningAtStopIsAppliedButNotSaved) {
    // The result is applied on the main thread, so it cannot land before stopAndSave().
    script("cat '" + QFile::encodeName(path("out")) + "'\n");
    outputFixture("second.csv");
    auto r = recorder();
    r->processAppSample({});
    r->processAppSample({{"curl", {0, 0}}});
    r->sampleAppTraffic();
    r->stopAndSave();
    ASSERT_TRUE(waitForSample(*r));
    EXPECT_EQ(r->getToday()->apps.at("curl"), AppTraffic(150, 40));
    EXPECT_TRUE(store.open()->getToday()->apps.empty());
}

TEST_F(FakeTool, NoToolOutlivesTheProgram) {
    script("exec sleep 600\n");
    // The program never releases its recorder: it just ends while a run is in progress.
    qftest::ChildOptions o;
    o.body = [this] {
        auto* r = recorder(/*timeoutMs=*/600000).release();
        r->sampleAppTraffic();
        return qftest::waitUntil([&] { return lastPid() > 0; }) ? 0 : 1;
    };
    qftest::Child program(std::move(o));
    const auto status = program.waitExit();
    ASSERT_TRUE(status && qftest::exitCode(*status) == 0);
    const pid_t tool = lastPid();
    ASSERT_GT(tool, 0);
    EXPECT_TRUE(qftest::waitUntil([&] { return !processRuns(tool); }));
    if (processRuns(tool))
        ::kill(tool, SIGKILL);
}

TEST_F(FakeTool, TheBuiltStandInIsFoundAndSampled) {
    const QString tool = TrafficRecorder::defaultConfig().toolPath;
    if (!QFileInfo(tool).isExecutable())
        GTEST_SKIP() << "the stand-in tool is not built: " << tool.toStdString();
    TrafficRecorder::Config config = TrafficRecorder::defaultConfig();
    const QString output = runNettop(tool, config.toolArgs, config.toolTimeoutMs);
    EXPECT_TRUE(output.startsWith("time,,interface,state,bytes_in,bytes_out,"))
        << output.toStdString();
    config.dataPath = store.path();
    TrafficRecorder r(config);
    r.sampleAppTraffic();
    ASSERT_TRUE(waitForSample(r));
    EXPECT_EQ(r.getToday(), DailyTraffic());
}
