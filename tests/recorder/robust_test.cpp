#include "RecorderTestSupport.h"
#include "TestSupport.h"
#include "TrafficDb.h"
#include "TrafficStore.h"

#include <cstdio>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// A child that saves generation after generation, each one unit of total and one unit of one
// of 64 applications, so that in every committed state today's total equals its applications'
// sum. On its event pipe it says 2g before it saves generation g, and 2g + 1 once g is on disk.
int saveForever(const TempStore& store) {
    const auto recorder = store.open();
    AppSample counters{{"seed", {0, 0}}}; // a reference, so that the first growth counts
    recorder->processAppSample(runOf(counters));
    for (std::uint64_t g = recorder->getToday() ? recorder->getToday()->totalIn + 1 : 1;; ++g) {
        recorder->recordTotal(0, 1);
        counters["app" + QString::number(g % 64)].in += 1;
        recorder->processAppSample(runOf(counters));
        ::dprintf(3, "%llu\n", static_cast<unsigned long long>(2 * g));
        recorder->saveData();
        recorder->waitForSaves();
        ::dprintf(3, "%llu\n", static_cast<unsigned long long>(2 * g + 1));
    }
}

} // namespace

TEST(Robustness, KilledSaverNeverLosesACommittedDayNorShowsHalfASave) {
    TempStore store;
    const QString day = TrafficRecorder::todayString();
    std::uint64_t previous = 0;
    // Kill points defined by what the child said: first as the store is being created, then
    // in turn right after a commit and right as the next save begins.
    for (int kill = 0; kill < 21; ++kill) {
        qftest::ChildOptions o;
        o.extraFd = 3;
        o.body = [&store] { return saveForever(store); };
        qftest::Child saver(std::move(o));
        std::uint64_t committed = 0;
        for (;;) {
            const auto line = saver.readLine(60s, qftest::Child::Stream::Extra);
            ASSERT_TRUE(line) << "the child died by itself";
            const std::uint64_t said = std::stoull(*line);
            committed = said % 2 == 1 ? said / 2 : committed;
            if (kill == 0 || (committed > previous && (kill % 2 == 1 || said % 2 == 0)))
                break;
        }
        saver.kill();
        if (TrafficRecorder::todayString() != day)
            GTEST_SKIP() << "the day changed during the test";
        if (kill == 0)
            continue;
        QString why;
        const auto db = TrafficDb::openForReading(store.path(), &why);
        ASSERT_TRUE(db) << why.toStdString();
        const std::optional<DailyTraffic> today = db->day(day);
        ASSERT_TRUE(today && today->totalIn >= committed) << "a commit was lost, kill " << kill;
        std::uint64_t apps = 0;
        for (const auto& [name, traffic] : today->apps)
            apps += traffic.bytesIn;
        ASSERT_EQ(today->totalIn, apps) << "a save was cut in half";
        previous = today->totalIn;
    }
    EXPECT_TRUE(store.filesLike("*.unreadable-*").isEmpty());
}
