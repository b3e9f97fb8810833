#include "LogCapture.h"
#include "NettopRunner.h"
#include "RecorderTestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

void ensureApp() {
    static int argc = 1;
    static char name[] = "recorder_failure_log_test";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);
}

TEST(FailureLog, ARefusedSaveIsSaidOnceAndItsEndToo) {
    ensureApp();
    TempStore store;
    auto recorder = store.open();
    const QString dir = QFileInfo(store.path()).path();
    // A file where the directory was: nothing can be written there, not even by root.
    const auto block = [&] {
        ASSERT_TRUE(QDir(dir).removeRecursively());
        QFile plug(dir);
        ASSERT_TRUE(plug.open(QIODevice::WriteOnly));
    };
    LogCapture log;
    block();
    for (int i = 0; i < 3; ++i) {
        recorder->recordTotal(1, 1);
        recorder->saveData();
    }
    ASSERT_EQ(log.of("quillfern.store").size(), 1);
    EXPECT_TRUE(log.of("quillfern.store")[0].contains(store.path()));

    ASSERT_TRUE(QFile::remove(dir));
    ASSERT_TRUE(QDir().mkdir(dir));
    recorder->saveData();
    EXPECT_GT(QFileInfo(store.path()).size(), 0);
    block();
    recorder->recordTotal(1, 1);
    recorder->saveData();
    const QStringList said = log.of("quillfern.store");
    ASSERT_EQ(said.size(), 3);
    EXPECT_EQ(said[1], "saving works again");
    EXPECT_EQ(said[2], said[0]) << "the same failure after a recovery is said again";
}

TEST(FailureLog, AToolThatKeepsFailingIsSaidOnce) {
    ensureApp();
    TempStore store;
    auto recorder = store.open(); // its tool does not exist
    LogCapture log;
    for (int i = 0; i < 2; ++i) {
        QEventLoop loop;
        QObject::connect(recorder.get(), &TrafficRecorder::sampleApplied, &loop, &QEventLoop::quit);
        QTimer::singleShot(30000, &loop, &QEventLoop::quit); // a bound, not a wait
        recorder->sampleAppTraffic();
        loop.exec();
    }
    ASSERT_EQ(log.of("quillfern.tool").size(), 1);
    EXPECT_TRUE(log.of("quillfern.tool")[0].contains("could not be started"));

    // A tool that never finishes is stopped at its limit, and that is what is said.
    const NettopRun run = runNettop("/bin/sh", {"-c", "exec sleep infinity"}, 100);
    EXPECT_TRUE(run.output.isEmpty());
    EXPECT_TRUE(run.failure.contains("time limit of 100 ms")) << run.failure.toStdString();
}

} // namespace
