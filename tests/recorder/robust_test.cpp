#include "RecorderTestSupport.h"
#include "Sqlite.h"
#include "TestSupport.h"
#include "TrafficDb.h"
#include "TrafficStore.h"

#include <QBuffer>
#include <cstdio>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// A child that saves generation after generation, each one unit of total and one unit of one
// of 64 applications, so that in every committed state today's total equals its applications'
// sum. On its event pipe it says 2g before it saves generation g, and 2g + 1 once g is on disk.
int saveForever(const QString& path) {
    TrafficRecorder::Config config;
    config.dataPath = path;
    TrafficRecorder recorder(config);
    AppSample counters{{"seed", {0, 0}}}; // a reference, so that the first growth counts
    recorder.processAppSample(runOf(counters));
    for (std::uint64_t g = recorder.getToday() ? recorder.getToday()->totalIn + 1 : 1;; ++g) {
        recorder.recordTotal(0, 1);
        counters["app" + QString::number(g % 64)].in += 1;
        recorder.processAppSample(runOf(counters));
        if (::dprintf(3, "%llu\n", static_cast<unsigned long long>(2 * g)) < 0)
            return 3;
        recorder.saveData();
        recorder.waitForSaves();
        if (::dprintf(3, "%llu\n", static_cast<unsigned long long>(2 * g + 1)) < 0)
            return 3;
    }
}

struct Saver {
    std::unique_ptr<qftest::Child> child;
    std::uint64_t committed = 0;

    explicit Saver(const QString& path) {
        qftest::ChildOptions o;
        o.extraFd = 3;
        o.body = [path] { return saveForever(path); };
        child = std::make_unique<qftest::Child>(std::move(o));
    }
    // The next thing the child says, or 0 when it is gone.
    std::uint64_t next() {
        const auto line = child->readLine(60s, qftest::Child::Stream::Extra);
        const std::uint64_t value = line ? std::stoull(*line) : 0;
        if (value % 2 == 1)
            committed = value / 2;
        return value;
    }
};

// Today's total received and its applications' sum, as an export sees them.
std::pair<std::uint64_t, std::uint64_t> exportedToday(const QString& path) {
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    QString error;
    EXPECT_TRUE(trafficExportJson(path, out, &error)) << error.toStdString();
    TrafficDays days;
    EXPECT_EQ(trafficFromJson(out.data(), days), TrafficParse::Ok);
    EXPECT_EQ(days.size(), 1u);
    if (days.empty())
        return {};
    std::uint64_t apps = 0;
    for (const auto& [name, traffic] : days.begin()->second.apps)
        apps += traffic.bytesIn;
    return {days.begin()->second.totalIn, apps};
}

} // namespace

TEST(Robustness, KilledSaverNeverLosesACommittedDayNorShowsHalfASave) {
    TempStore store;
    const QString day = TrafficRecorder::todayString();
    std::uint64_t previous = 0;
    for (int kill = 0; kill < 200; ++kill) {
        Saver saver(store.path());
        // Kill points defined by what the child said: right after a commit, or right as the
        // next save begins, after one to three commits. After the first commit, an export
        // reads the store while the child writes.
        const std::uint64_t commits = 1 + kill % 3;
        const bool duringSave = kill % 2 == 1;
        bool exported = false;
        std::uint64_t value = 0;
        while ((value = saver.next()) != 0) {
            if (value % 2 == 1 && !exported) {
                const auto [total, apps] = exportedToday(store.path());
                ASSERT_GE(total, saver.committed);
                ASSERT_EQ(total, apps) << "an export saw half a save";
                exported = true;
            }
            if (saver.committed >= previous + commits && (!duringSave || value % 2 == 0))
                break;
        }
        ASSERT_NE(value, 0u) << "the child died by itself";
        saver.child->kill();
        sql::Database db;
        ASSERT_TRUE(db.open(store.path(), sql::Database::Mode::ReadWrite));
        ASSERT_EQ(db.queryText("PRAGMA integrity_check"), "ok");
        db.close();
        const auto [total, apps] = exportedToday(store.path());
        ASSERT_GE(total, saver.committed) << "after kill " << kill;
        ASSERT_EQ(total, apps) << "a save was cut in half";
        previous = total;
        if (TrafficRecorder::todayString() != day)
            GTEST_SKIP() << "the day changed during the test";
    }
    EXPECT_TRUE(store.filesLike("*.unreadable-*").isEmpty());
}
