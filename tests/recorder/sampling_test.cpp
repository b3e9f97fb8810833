#include "LogCapture.h"
#include "NettopRunner.h"
#include "RecorderTestSupport.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace std::chrono_literals;

namespace {

bool gone(pid_t pid) {
    return qftest::waitUntil([pid] { return !qftest::processAlive(pid); });
}

// A stand-in tool: a shell script in the test's own directory. Every run notes its process id;
// with `grandchild` it leaves a long sleep behind, noting its pid too.
class FakeTool : public ::testing::Test {
protected:
    QString path(const QString& name) const { return m_store.dir.filePath(name); }
    QByteArray quoted(const QString& n) const { return "'" + QFile::encodeName(path(n)) + "' "; }

    void script(const QByteArray& body, bool grandchild = false) {
        QByteArray text = "#!/bin/sh\necho $$ > " + quoted("pid") + "\n";
        if (grandchild)
            text += "sleep 1000 & echo $! > " + quoted("grandchild") + "\n";
        ASSERT_TRUE(writeFile(path("tool"), text + body));
        ::chmod(QFile::encodeName(path("tool")).constData(), 0755);
    }
    void output(const QByteArray& bytes) { ASSERT_TRUE(writeFile(path("out"), bytes)); }
    pid_t pidIn(const char* name) const { return readFile(path(name)).trimmed().toInt(); }

    TempStore m_store;
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
    for (const char* end : {"'\nexit 3\n", "'\nkill -9 $$\n", "\\377\\n'\n"}) {
        const QByteArray failing = QByteArray("printf 't,a.1,,,1,2\\n") + end;
        script(failing);
        run = runNettop(path("tool"), {}, 60000);
        EXPECT_TRUE(!run.ok() && run.output.isEmpty()) << failing.toStdString();
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
    EXPECT_TRUE(!run.ok() && run.output.isEmpty());
    // The tool was reaped before the run returned; what it forked goes too.
    EXPECT_TRUE(!qftest::processAlive(pidIn("pid")) && gone(pidIn("grandchild")));
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
        EXPECT_TRUE(gone(pidIn("pid")) && gone(pidIn("grandchild"))) << "killed: " << killed;
    }
}

TEST_F(FakeTool, SamplesAreAppliedAsTheyGrowAndFailedRunsOnlyReset) {
    script("cat " + quoted("out") + "\nexit \"$(cat " + quoted("status") +
           "2>/dev/null || echo 0)\"\n");
    LogCapture log;
    TrafficRecorder::Config config;
    config.dataPath = m_store.path();
    config.toolPath = path("tool");
    config.toolTimeoutMs = 60000; // a busy machine's slow run is no failure
    TrafficRecorder r(config);
    int samples = 0;
    QObject::connect(&r, &TrafficRecorder::sampleApplied, &r, [&] { ++samples; });
    // One run, applied as an event of the main thread.
    const auto sample = [&] {
        r.sampleAppTraffic();
        const int after = samples + 1;
        return qftest::waitUntil(
            [&] { return QCoreApplication::processEvents(), samples >= after; }, 60s);
    };
    for (const char* fixture : {"first", "second"}) {
        output(readFile(
            QStringLiteral(QUILLFERN_SOURCE_DIR "/tests/fixtures/nettop/%1.csv").arg(fixture)));
        ASSERT_TRUE(sample());
    }
    const DailyTraffic grown{
        {}, {{"kernel_task", {500, 0}}, {"curl", {150, 40}}, {"firefox", {3000, 200}}}};
    EXPECT_EQ(r.getToday(), grown);

    // Part of the output and then a failure, twice: nothing is credited, and the next good
    // run only sets the reference. The failure is said once, and so is the recovery.
    output("t,firefox.4400,,,9000,9000\n");
    ASSERT_TRUE(writeFile(path("status"), "1") && sample() && sample());
    ASSERT_TRUE(writeFile(path("status"), "0") && sample());
    EXPECT_EQ(r.getToday(), grown);
    EXPECT_EQ(log.of("quillfern.tool").size(), 2);
}
