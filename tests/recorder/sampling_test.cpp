#include "LogCapture.h"
#include "NettopRunner.h"
#include "RecorderTestSupport.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

bool gone(pid_t pid) {
    return qftest::waitUntil([pid] { return !qftest::processAlive(pid); });
}

// A stand-in tool: a shell script in the test's own directory. Every run notes its process id;
// with `grandchild` it leaves a long sleep behind, noting its pid too.
class FakeTool : public ::testing::Test {
protected:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "recorder_sampling_test";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
            new QCoreApplication(argc, argv);
    }

    QString path(const QString& name) const { return m_store.dir.filePath(name); }
    QByteArray quoted(const QString& name) const {
        return "'" + QFile::encodeName(path(name)) + "' ";
    }

    void script(const QByteArray& body, bool grandchild = false) {
        QByteArray text = "#!/bin/sh\necho $$ > " + quoted("pid") + "\n";
        if (grandchild)
            text += "sleep 1000 & echo $! > " + quoted("grandchild") + "\n";
        ASSERT_TRUE(writeFile(path("tool"), text + body));
        ::chmod(QFile::encodeName(path("tool")).constData(), 0755);
    }
    void output(const QByteArray& bytes) { ASSERT_TRUE(writeFile(path("out"), bytes)); }
    pid_t pidIn(const char* name) const { return readFile(path(name)).trimmed().toInt(); }

    std::unique_ptr<TrafficRecorder> recorder(int intervalMs = 60000) {
        TrafficRecorder::Config config;
        config.dataPath = m_store.path();
        config.toolPath = path("tool");
        config.toolTimeoutMs = 60000;
        config.sampleIntervalMs = config.saveIntervalMs = intervalMs;
        auto recorder = std::make_unique<TrafficRecorder>(config);
        QObject::connect(recorder.get(), &TrafficRecorder::sampleApplied, recorder.get(),
                         [this] { ++m_samples; });
        return recorder;
    }
    // Samples applied arrive as events of the main thread.
    bool samplesReach(int total) {
        return qftest::waitUntil(
            [&] {
                QCoreApplication::processEvents();
                return m_samples >= total;
            },
            60s);
    }

    TempStore m_store;
    int m_samples = 0;
};

} // namespace

TEST_F(FakeTool, ARunCountsOnlyWhenTheToolSucceedsAndLeavesNothingBehind) {
    script("printf 't,a.1,,,1,2\\n'\n", true);
    NettopRun run = runNettop(path("tool"), {"-x"}, 60000);
    EXPECT_EQ(run.output, "t,a.1,,,1,2\n") << run.failure.toStdString();
    // The grandchild holds the output pipe open, yet the run ended, and so did it.
    EXPECT_TRUE(gone(pidIn("grandchild")));
    // More than a pipe holds, beside a noisy standard error, arrives whole.
    output(QByteArray("t,a.1,,,10,1\n").repeated(50000));
    script("head -c 300000 /dev/zero >&2\ncat " + quoted("out"));
    run = runNettop(path("tool"), {}, 60000);
    EXPECT_EQ(run.output.toUtf8(), readFile(path("out")));

    // Failing, killed, or printing what is not UTF-8: whatever was printed is dropped.
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
    script("printf 't,a.1,,,1,1\\n'\nexec sleep 1000\n", true);
    // A short limit; a machine too busy to get the grandchild going within it gets a longer one.
    NettopRun run;
    for (int limit = 250; limit <= 64000; limit *= 2) {
        QFile::remove(path("grandchild"));
        run = runNettop(path("tool"), {}, limit);
        if (pidIn("grandchild") > 0)
            break;
    }
    ASSERT_GT(pidIn("grandchild"), 0);
    EXPECT_TRUE(run.output.isEmpty());
    EXPECT_FALSE(run.ok());
    EXPECT_FALSE(qftest::processAlive(pidIn("pid"))); // reaped before the run returned
    EXPECT_TRUE(gone(pidIn("grandchild")));
}

TEST_F(FakeTool, QuittingOrKillingTheProgramEndsTheToolAndItsChildren) {
    // The script says on a FIFO that it got this far, and waits for the test to read it.
    ::mkfifo(QFile::encodeName(path("ready")).constData(), 0600);
    script("echo ready > " + quoted("ready") + "\nexec sleep 1000\n", true);
    // The program never releases its recorder: its tool runs as it quits, or is killed.
    for (const bool killed : {false, true}) {
        qftest::ChildOptions o;
        o.argv = {QUILLFERN_SAMPLING_DRIVER, m_store.path().toStdString(),
                  path("tool").toStdString()};
        o.pipeStdin = true;
        qftest::Child program(std::move(o));
        readFile(path("ready"));
        killed ? program.kill() : program.closeStdin();
        EXPECT_TRUE(program.waitExit().has_value());
        EXPECT_TRUE(gone(pidIn("pid"))) << "killed: " << killed;
        EXPECT_TRUE(gone(pidIn("grandchild"))) << "killed: " << killed;
    }
}

TEST_F(FakeTool, SamplesAreAppliedAsTheyGrowAndFailedRunsOnlyReset) {
    script("cat " + quoted("out") + "\nexit \"$(cat " + quoted("status") +
           "2>/dev/null || echo 0)\"\n");
    LogCapture log;
    output(readFile(QStringLiteral(QUILLFERN_SOURCE_DIR "/tests/fixtures/nettop/first.csv")));
    auto r = recorder();
    r->sampleAppTraffic();
    ASSERT_TRUE(samplesReach(1));
    output(readFile(QStringLiteral(QUILLFERN_SOURCE_DIR "/tests/fixtures/nettop/second.csv")));
    r->sampleAppTraffic();
    ASSERT_TRUE(samplesReach(2));
    const DailyTraffic grown{
        {}, {{"kernel_task", {500, 0}}, {"curl", {150, 40}}, {"firefox", {3000, 200}}}};
    EXPECT_EQ(r->getToday(), grown);

    // Part of the output and then a failure, twice: nothing is credited, and the next good
    // run only sets the reference. The failure is said once, and so is the recovery.
    output("t,firefox.4400,,,9000,9000\n");
    ASSERT_TRUE(writeFile(path("status"), "1"));
    r->sampleAppTraffic();
    r->sampleAppTraffic();
    ASSERT_TRUE(samplesReach(4));
    ASSERT_TRUE(writeFile(path("status"), "0"));
    r->sampleAppTraffic();
    ASSERT_TRUE(samplesReach(5));
    EXPECT_EQ(r->getToday(), grown);
    EXPECT_EQ(log.of("quillfern.tool").size(), 2);
}

TEST_F(FakeTool, TimersSampleAndSave) {
    script({});
    auto r = recorder(/*intervalMs=*/20);
    r->recordTotal({2, 1});
    r->startTimers();
    ASSERT_TRUE(samplesReach(3));
    EXPECT_TRUE(qftest::waitUntil([&] {
        QCoreApplication::processEvents();
        return m_store.open()->getToday() == DailyTraffic{{2, 1}, {}};
    }));
}

TEST_F(FakeTool, TheBuiltStandInIsFoundAndRuns) {
    if (!std::filesystem::exists(qftest::toolPath()))
        GTEST_SKIP() << "the stand-in tool is not built: " << qftest::toolPath();
    // The tool keeps its state in the runtime directory: this test's, not the user's cache.
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(path({})));
    const TrafficRecorder::Config config = TrafficRecorder::defaultConfig();
    const NettopRun run = runNettop(config.toolPath, config.toolArgs, config.toolTimeoutMs);
    qunsetenv("XDG_RUNTIME_DIR");
    EXPECT_TRUE(QFile::exists(path("quillfern/nettop-state.v1")));
    ASSERT_TRUE(run.ok()) << run.failure.toStdString();
    EXPECT_TRUE(run.output.startsWith("time,,interface,state,bytes_in,bytes_out,"));
}
