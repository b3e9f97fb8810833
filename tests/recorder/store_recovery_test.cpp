#include "DayKey.h"
#include "LogCapture.h"
#include "RecorderTestSupport.h"
#include "TrafficDb.h"

#include <QFileInfo>
#include <gtest/gtest.h>

// The data directory removed, or moved away with the store, under a running recorder: the
// next save makes the store again, and quitting leaves the whole day in it, private.
TEST(StoreRecovery, AStoreGoneWhileRunningIsMadeAgainWithTheWholeDay) {
    for (const bool removed : {true, false}) {
        SCOPED_TRACE(removed ? "removed" : "moved away");
        TempStore store;
        LogCapture log;
        auto recorder = store.open();
        recorder->waitForSaves(); // open, so that the save below goes to this store
        recorder->processAppSample(runOf({{"a", {0, 0}}}));
        recorder->processAppSample(runOf({{"a", {5, 6}}}));
        recorder->recordTotal({20, 10});
        recorder->saveData();
        recorder->waitForSaves();
        ASSERT_TRUE(removed ? QDir(store.file({})).removeRecursively()
                            : QDir().rename(store.file({}), store.dir.filePath("moved")));
        recorder->recordTotal({2, 1});
        recorder->processAppSample(runOf({{"a", {5, 6}}, {"b", {1, 1}}}));
        recorder->stopAndSave();
        QString why;
        const auto db = TrafficDb::openForReading(store.path(), &why);
        ASSERT_TRUE(db) << why.toStdString();
        EXPECT_EQ(db->day(DayKey::today()),
                  (DailyTraffic{{22, 11}, {{"a", {5, 6}}, {"b", {1, 1}}}}));
        EXPECT_EQ(log.of("quillfern.store").size(), 1);
        const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                          QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
        EXPECT_FALSE(QFileInfo(store.file({})).permissions() & others);
    }
}

// Without a data location the store goes to a private runtime directory, else nowhere: never
// to a fixed place that other users share.
TEST(StoreRecovery, WithoutADataLocationOnlyAPrivateRuntimeDirectoryHoldsTheStore) {
    const bool hadShared = QFileInfo::exists("/tmp/quillfern_traffic.db");
    for (const bool privateRuntime : {true, false}) {
        SCOPED_TRACE(privateRuntime ? "private runtime directory" : "shared runtime directory");
        QTemporaryDir runtime;
        const QFile::Permissions owner = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
        QFile::setPermissions(runtime.path(),
                              privateRuntime ? owner : owner | QFile::ReadOther | QFile::ExeOther);
        qputenv("HOME", "");
        qputenv("XDG_DATA_HOME", "");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        LogCapture log;
        TrafficRecorder recorder(TrafficRecorder::defaultConfig());
        recorder.recordTotal({2, 1});
        recorder.stopAndSave();
        EXPECT_EQ(recorder.getToday(), (DailyTraffic{{2, 1}, {}}));
        EXPECT_EQ(recorder.hasStore(), privateRuntime);
        EXPECT_EQ(recorder.dataPath(),
                  privateRuntime ? runtime.filePath("quillfern/traffic.db") : QString());
        EXPECT_EQ(log.of("quillfern.store").size(), privateRuntime ? 0 : 1);
        if (privateRuntime) {
            EXPECT_EQ(TrafficRecorder(TrafficRecorder::defaultConfig()).getToday(),
                      (DailyTraffic{{2, 1}, {}}));
        }
    }
    EXPECT_TRUE(hadShared || !QFileInfo::exists("/tmp/quillfern_traffic.db"));
}

// A failed run, or one that credits nothing, leaves no empty day in the store.
TEST(StoreRecovery, ARunThatCreditsNothingLeavesNoDay) {
    TempStore store;
    auto recorder = store.open();
    recorder->processAppSample(std::nullopt);
    recorder->processAppSample(runOf({{"a", {1, 1}}}));
    recorder->stopAndSave();
    EXPECT_FALSE(store.open()->getToday());
}
