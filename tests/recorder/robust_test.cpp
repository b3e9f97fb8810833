#include "RecorderTestSupport.h"
#include "TrafficDb.h"
#include "TrafficStore.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <csignal>
#include <gtest/gtest.h>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// What the saving child says on its pipe: 2g before it saves generation g, 2g + 1 once
// generation g is on disk.
void report(int fd, std::uint64_t value) {
    if (::write(fd, &value, sizeof value) != sizeof value)
        ::_exit(3);
}

// Records generation after generation, each one unit of total and one unit of one of 64
// applications, so that in every committed state the day's total equals its applications'
// sum; each generation is one save.
[[noreturn]] void saveForever(const QString& path, int fd) {
    TrafficRecorder::Config config;
    config.dataPath = path;
    TrafficRecorder recorder(config);
    std::uint64_t g = recorder.getToday() ? recorder.getToday()->totalIn : 0;
    // A reference that is not empty, so that the first growth counts.
    AppSample counters{{"seed", {0, 0}}};
    recorder.processAppSample(runOf(counters));
    for (;;) {
        ++g;
        recorder.recordTotal(0, 1);
        counters["app" + QString::number(g % 64)].in += 1;
        recorder.processAppSample(runOf(counters));
        report(fd, 2 * g);
        recorder.saveData();
        recorder.waitForSaves();
        report(fd, 2 * g + 1);
    }
}

struct Saver {
    pid_t pid = -1;
    int fd = -1;
    std::uint64_t committed = 0;

    explicit Saver(const QString& path) {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            saveForever(path, fds[1]);
        }
        ::close(fds[1]);
        fd = fds[0];
    }
    // The next report, or 0 when the child is gone.
    std::uint64_t next() {
        std::uint64_t value = 0;
        if (::read(fd, &value, sizeof value) != sizeof value)
            return 0;
        if (value % 2 == 1)
            committed = value / 2;
        return value;
    }
    void kill() {
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ::close(fd);
    }
};

// Today's totals and the sum of its applications' received bytes, read as another process
// would, after checking the whole file.
struct Seen {
    std::uint64_t total = 0;
    std::uint64_t apps = 0;
};
Seen inspect(const QString& path) {
    sql::Database db;
    EXPECT_TRUE(db.open(path, sql::Database::Mode::ReadWrite));
    EXPECT_EQ(db.queryText("PRAGMA integrity_check"), "ok");
    sql::Statement day(db,
                       "SELECT totalIn, (SELECT u64sum(\"in\") FROM apps WHERE apps.day = days.day)"
                       " FROM days");
    Seen seen;
    if (day.next())
        seen = {day.u64(0), day.u64(1)};
    EXPECT_FALSE(day.next()) << "one day only";
    EXPECT_EQ(db.errorCode(), 0) << db.errorMessage().toStdString();
    return seen;
}

} // namespace

TEST(Robustness, KilledSaverNeverLosesACommittedDay) {
    TempStore store;
    const QString day = TrafficRecorder::todayString();
    std::uint64_t previous = 0;
    int kills = 0;
    for (; kills < 210; ++kills) {
        Saver saver(store.path());
        ASSERT_GT(saver.pid, 0);
        // Kill points defined by what the child said: right after a commit, or right as
        // the next save begins, after one to three commits.
        const std::uint64_t commits = 1 + kills % 3;
        const bool duringSave = kills % 2 == 1;
        std::uint64_t value = 0;
        while ((value = saver.next()) != 0) {
            if (saver.committed >= previous + commits && (!duringSave || value % 2 == 0))
                break;
        }
        ASSERT_NE(value, 0u) << "the child died by itself";
        saver.kill();
        const Seen seen = inspect(store.path());
        ASSERT_GE(seen.total, saver.committed) << "after kill " << kills;
        ASSERT_EQ(seen.total, seen.apps) << "a save was cut in half";
        previous = seen.total;
        if (TrafficRecorder::todayString() != day)
            GTEST_SKIP() << "the day changed during the test";
    }
    EXPECT_GE(kills, 200);
    EXPECT_TRUE(QDir(store.dir.filePath("Quillfern")).entryList({"*.unreadable-*"}).isEmpty());
}

TEST(Robustness, ExportWhileTheWidgetSaves) {
    TempStore store;
    Saver saver(store.path());
    ASSERT_GT(saver.pid, 0);
    std::uint64_t exports = 0;
    while (exports < 40) {
        const std::uint64_t value = saver.next();
        ASSERT_NE(value, 0u);
        if (value % 2 == 0)
            continue;
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        QString error;
        ASSERT_TRUE(trafficExportJson(store.path(), out, &error)) << error.toStdString();
        TrafficDays days;
        ASSERT_EQ(trafficFromJson(out.data(), days), TrafficParse::Ok);
        ASSERT_EQ(days.size(), 1u);
        const DailyTraffic& today = days.begin()->second;
        std::uint64_t apps = 0;
        for (const auto& entry : today.apps)
            apps += entry.second.bytesIn;
        EXPECT_GE(today.totalIn, saver.committed);
        EXPECT_EQ(today.totalIn, apps) << "the export saw half a save";
        ++exports;
    }
    saver.kill();
}

TEST(Robustness, LoaderSurvivesHostileInput) {
    std::mt19937 random(777);
    auto bytes = [&](int n) {
        QByteArray out(n, '\0');
        for (char& c : out)
            c = static_cast<char>(random());
        return out;
    };
    TrafficDays days;
    for (int i = 0; i < 2000; ++i)
        trafficFromJson(bytes(static_cast<int>(random() % 300)), days);

    TrafficDays sample;
    for (int d = 0; d < 20; ++d) {
        DailyTraffic day(random(), random());
        for (int a = 0; a < 5; ++a)
            day.apps[QString("app.%1").arg(a)] = AppTraffic(random(), random());
        sample[QString("2024-01-%1").arg(d + 10)] = day;
    }
    const QByteArray valid = trafficToJson(sample);
    for (qsizetype cut = 0; cut < valid.size() - 2; cut += 3) {
        TrafficDays out;
        EXPECT_NE(trafficFromJson(valid.left(cut), out), TrafficParse::Ok) << cut;
    }
    for (int i = 0; i < 2000; ++i) {
        QByteArray mutated = valid;
        for (int m = 0; m < 4; ++m)
            mutated[random() % mutated.size()] = static_cast<char>(random());
        TrafficDays out;
        if (trafficFromJson(mutated, out) == TrafficParse::Ok) {
            EXPECT_LE(out.size(), sample.size() + 1);
        }
    }

    const QByteArray deepArrays(200000, '[');
    EXPECT_EQ(trafficFromJson(deepArrays, days), TrafficParse::NotJson);
    QByteArray deepObjects = "{\"d\": {\"apps\": ";
    for (int i = 0; i < 100000; ++i)
        deepObjects += "{\"a\": ";
    EXPECT_EQ(trafficFromJson(deepObjects, days), TrafficParse::NotJson);
    QByteArray deepValid;
    for (int i = 0; i < 500; ++i)
        deepValid += "{\"a\": ";
    deepValid += "1" + QByteArray(500, '}');
    EXPECT_EQ(trafficFromJson(deepValid, days), TrafficParse::Ok);

    const QByteArray huge = "{\"d\": {\"totalIn\": 1" + QByteArray(300, '0') +
                            ", \"totalOut\": -1e300, \"apps\": {\"a\": {\"in\": 1e-300, "
                            "\"out\": 18446744073709551615}}}}";
    ASSERT_EQ(trafficFromJson(huge, days), TrafficParse::Ok);
    EXPECT_EQ(days.at("d"), DailyTraffic(0, 0, {{"a", {0, 0}}}));
    // Qt's reader rejects numbers beyond a double's range outright, so such a file counts as
    // unreadable (and is kept aside) rather than loading with zeros.
    EXPECT_EQ(trafficFromJson("{\"d\": {\"totalIn\": " + QByteArray(5000, '9') + "}}", days),
              TrafficParse::NotJson);
}

TEST(Robustness, ParserSurvivesHostileInput) {
    std::mt19937 random(4242);
    const QByteArray line = "18:21:35.556852,Code Helper (Pl.51458,,,322736,229260,0,0,0,,,,\n";
    const char alphabet[] = ",.\n+-0123456789 a\xc3\xa9\r";
    for (int i = 0; i < 3000; ++i) {
        QByteArray text;
        const int lines = static_cast<int>(random() % 20);
        for (int l = 0; l < lines; ++l)
            text += line;
        const int mutations = static_cast<int>(random() % 40);
        for (int m = 0; m < mutations && !text.isEmpty(); ++m)
            text[random() % text.size()] = alphabet[random() % (sizeof alphabet - 1)];
        const int noise = static_cast<int>(random() % 64);
        for (int n = 0; n < noise; ++n)
            text += static_cast<char>(random());
        if (random() % 2)
            text.truncate(static_cast<qsizetype>(random() % (text.size() + 1)));
        for (const auto& [name, counters] : TrafficRecorder::parseNettop(QString::fromUtf8(text))) {
            EXPECT_FALSE(name.isEmpty());
            EXPECT_FALSE(name.contains(u',') || name.contains(u'\n'));
        }
    }
}
