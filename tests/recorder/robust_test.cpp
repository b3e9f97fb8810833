#include "DayKey.h"
#include "RecorderTestSupport.h"
#include "TestSupport.h"
#include "TrafficDb.h"
#include "TrafficJson.h"

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
    for (std::uint64_t g = recorder->getToday() ? recorder->getToday()->total.in + 1 : 1;; ++g) {
        recorder->recordTotal({1, 0});
        counters["app" + QString::number(g % 64)].in += 1;
        recorder->processAppSample(runOf(counters));
        ::dprintf(3, "%llu\n", static_cast<unsigned long long>(2 * g));
        recorder->saveData();
        recorder->waitForSaves();
        ::dprintf(3, "%llu\n", static_cast<unsigned long long>(2 * g + 1));
    }
}

// Today's total received and its applications' sum, as a reader of the store sees them.
std::pair<std::uint64_t, std::uint64_t> readToday(const QString& path, const QString& day) {
    QString why;
    const auto db = TrafficDb::openForReading(path, &why);
    EXPECT_TRUE(db) << why.toStdString();
    const std::optional<DailyTraffic> today = db ? db->day(day) : std::nullopt;
    if (!today)
        return {};
    std::uint64_t apps = 0;
    for (const auto& [name, traffic] : today->apps)
        apps += traffic.in;
    return {today->total.in, apps};
}

} // namespace

TEST(Robustness, KilledSaverNeverLosesACommittedDayNorShowsHalfASave) {
    TempStore store;
    const QString day = DayKey::today();
    std::uint64_t previous = 0;
    // Kill points defined by what the child said: first as the store is being created, then
    // in turn right after a commit and right as the next save begins.
    for (int kill = 0; kill < 41; ++kill) {
        qftest::ChildOptions o;
        o.extraFd = 3;
        o.body = [&store] { return saveForever(store); };
        qftest::Child saver(std::move(o));
        std::uint64_t committed = 0;
        for (bool read = false;;) {
            const auto line = saver.readLine(60s, qftest::Child::Stream::Extra);
            ASSERT_TRUE(line) << "the child died by itself";
            const std::uint64_t said = std::stoull(*line);
            if (said % 2 == 1 && !read) {
                // A reader as the child goes on writing must never see half a save; it also
                // slows the writer, so that more of the kills land inside a save.
                const auto [total, apps] = readToday(store.path(), day);
                ASSERT_EQ(total, apps) << "a reader saw half a save";
                read = true;
            }
            committed = said % 2 == 1 ? said / 2 : committed;
            if (kill == 0 || (committed > previous && (kill % 2 == 1 || said % 2 == 0)))
                break;
        }
        saver.kill();
        if (DayKey::today() != day)
            GTEST_SKIP() << "the day changed during the test";
        if (kill == 0)
            continue;
        const auto [total, apps] = readToday(store.path(), day);
        ASSERT_GE(total, committed) << "a commit was lost, kill " << kill;
        ASSERT_EQ(total, apps) << "a save was cut in half";
        previous = total;
    }
    EXPECT_TRUE(store.filesLike("*.unreadable-*").isEmpty());
}
