#include "DayKey.h"
#include "LogCapture.h"
#include "RecorderTestSupport.h"
#include "TestSupport.h"
#include "TrafficDb.h"
#include "TrafficJson.h"

#include <QBuffer>
#include <QFileInfo>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

constexpr std::uint64_t kMax = UINT64_MAX;
constexpr std::uint64_t kInt64Max = 9223372036854775807ull;

TrafficDays parse(const QByteArray& text) {
    TrafficDays days;
    EXPECT_EQ(trafficFromJson(text, days), TrafficParse::Ok) << text.left(200).constData();
    return days;
}

// The store as the export writes it; none when the export is refused.
std::optional<QByteArray> exported(const QString& dbPath) {
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    QString error;
    if (!trafficExportJson(dbPath, out, &error))
        return std::nullopt;
    return out.data();
}

// Bytes this process handed to write(2) and friends: the writer thread's I/O included.
std::uint64_t bytesWritten() {
    for (const QByteArray& line : readFile(QStringLiteral("/proc/self/io")).split('\n')) {
        if (line.startsWith("wchar:"))
            return line.mid(6).trimmed().toULongLong();
    }
    return 0;
}

} // namespace

TEST(TrafficJson, ReaderKeepsWhatItCanAndLosesNoPrecision) {
    // A strange member costs only itself; counts above 2^53, where a double would round, are
    // exact; a count outside the format's signed range, negative or fractional reads as 0.
    const TrafficDays days = parse(R"({
        "2024-01-01": {"totalIn": 10, "totalOut": 9007199254740993,
                       "apps": {"a": {"in": 1, "out": 2}, "bad": 7, "b": {"in": "5", "out": 12.5}}},
        "2024-01-02": 5,
        "big": {"apps": {"a": {"in": 18446744073709551615, "out": -1e300}}}
    })");
    ASSERT_EQ(days.size(), 2u);
    EXPECT_EQ(days.at("2024-01-01"),
              (DailyTraffic{{10, 9007199254740993ull}, {{"a", {1, 2}}, {"b", {}}}}));
    EXPECT_EQ(days.at("big"), (DailyTraffic{{0, 0}, {{"a", {}}}}));
    // Counts the format cannot hold are written as the largest it can.
    EXPECT_EQ(parse(trafficToJson({{"d", (DailyTraffic{{kMax, 1}, {{"a", {kInt64Max + 1, 2}}}})}}))
                  .at("d"),
              (DailyTraffic{{kInt64Max, 1}, {{"a", {kInt64Max, 2}}}}));
}

TEST(TrafficStoreFile, PrivateLosslessAndWritesOnlyWhatChanged) {
    TempStore store;
    TrafficDays history;
    for (int d = 0; d < 200; ++d) {
        DailyTraffic& day = history[DayKey::format(QDate(2020, 1, 1).addDays(d))];
        for (int a = 0; a < 100; ++a)
            day.apps[QStringLiteral("application-%1").arg(a)] =
                AppTraffic{std::uint64_t(a), std::uint64_t(d)};
    }
    // An older version left its files readable by others; they become private when opened.
    const QByteArray json = trafficToJson(history);
    store.write(json);
    ::chmod(QFile::encodeName(store.file("traffic.json")).constData(), 0644);
    auto recorder = store.open();
    recorder->recordTotal({kInt64Max + 1, kMax});
    recorder->saveData();
    recorder->waitForSaves();
    const QStringList imported = store.filesLike("traffic.json.imported-*");
    ASSERT_EQ(imported.size(), 1);
    EXPECT_EQ(readFile(store.file(imported[0])), json);
    const QStringList sideFiles = {store.path() + "-wal", store.path() + "-shm"};
    for (const QString& file : sideFiles + QStringList{store.path(), store.file(imported[0])})
        EXPECT_EQ(QFile::permissions(file),
                  QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser)
            << file.toStdString();
    // Quitting leaves the database file alone holding everything.
    recorder->stopAndSave();
    for (const QString& file : sideFiles)
        EXPECT_FALSE(QFile::exists(file)) << file.toStdString();
    recorder.reset();

    // 2^64 - 1 and 2^63 come back exactly, though SQLite's integers are signed.
    recorder = store.open();
    EXPECT_EQ(recorder->getToday(), (DailyTraffic{{kInt64Max + 1, kMax}, {}}));
    EXPECT_EQ(recorder->getDay("2020-06-01"), history.at("2020-06-01"));

    // One change beside a long history is written as a small change, not the history again.
    recorder->processAppSample(runOf({{"seed", {0, 0}}}));
    recorder->waitForSaves();
    const std::uint64_t before = bytesWritten();
    recorder->processAppSample(runOf({{"seed", {0, 0}}, {"small", {1, 1}}}));
    recorder->saveData();
    recorder->waitForSaves();
    EXPECT_LE(bytesWritten() - before, 64u * 1024);
    EXPECT_EQ(store.open()->getToday()->apps.at("small"), (AppTraffic{1, 1}));
}

TEST(TrafficStoreFile, ExportImportRoundTripAndMergeTakesTheLarger) {
    TempStore store;
    const TrafficDays days{
        {"2024-02-29", (DailyTraffic{{5, 6}, {{"com.example.sync", {1, 2}}, {"zero", {0, 0}}}})},
        {"2024-03-02", (DailyTraffic{{7, 8}, {}})},
        {QString::fromUtf8("ключ\"\\\t\x01"),
         (DailyTraffic{{1, 2}, {{QString::fromUtf8("网易 \t"), {3, 4}}}})},
    };
    store.write(trafficToJson(days));
    // Before anything moved in, the export is the waiting file.
    EXPECT_EQ(parse(exported(store.path()).value()), days);
    store.open()->stopAndSave();
    TempStore copy;
    const QString file = copy.dir.filePath("in.json");
    QString error;
    int count = 0;
    ASSERT_TRUE(writeFile(file, exported(store.path()).value()));
    ASSERT_TRUE(trafficImportJson(copy.path(), file, &error, &count)) << error.toStdString();
    EXPECT_EQ(parse(exported(copy.path()).value()), days);

    ASSERT_TRUE(writeFile(file, R"({"2024-02-29": {"totalIn": 9, "totalOut": 1,
                   "apps": {"com.example.sync": {"in": 0, "out": 7}, "new": {"in": 3}}}})"));
    ASSERT_TRUE(trafficImportJson(copy.path(), file, &error, &count));
    EXPECT_EQ(
        parse(exported(copy.path()).value()).at("2024-02-29"),
        (DailyTraffic{{9, 6}, {{"com.example.sync", {1, 7}}, {"new", {3, 0}}, {"zero", {0, 0}}}}));

    ASSERT_TRUE(writeFile(file, "[1, 2]"));
    EXPECT_FALSE(trafficImportJson(copy.path(), file, &error, &count));
}

TEST(TrafficStoreFile, RangeSumsSeeMemoryAndStoreOnce) {
    TempStore store;
    const QString today = DayKey::today();
    const QString yesterday = DayKey::format(QDate::currentDate().addDays(-1));
    store.write(QStringLiteral(R"({"%1": {"totalIn": 100, "totalOut": 10,
        "apps": {"a": {"in": 1}, "b": {"out": 9223372036854775807}}},
        "%2": {"totalIn": 5, "totalOut": 5, "apps": {"a": {"in": 2}, "b": {"out": 9223372036854775807}}},
        "1999-01-01": {"totalIn": 7, "totalOut": 7, "apps": {"b": {"out": 9}}}})")
                    .arg(yesterday, today)
                    .toUtf8());
    auto recorder = store.open();
    recorder->recordTotal({1, 1}); // today is now in memory, on top of the stored figures
    recorder->processAppSample(runOf({{"a", {0, 0}}}));
    recorder->processAppSample(runOf({{"a", {0, 0}}, {"c", {4, 0}}}));
    EXPECT_EQ(recorder->sumBetween(yesterday, today),
              (DailyTraffic{{106, 16}, {{"a", {3, 0}}, {"b", {0, kMax - 1}}, {"c", {4, 0}}}}));
    EXPECT_EQ(recorder->daysBetween("1999-01-01", today).at(today), (DailyTraffic{{6, 6}, {}}));
    // The whole range saturates rather than wrapping.
    EXPECT_EQ(recorder->sumBetween("0000", "9999").apps.at("b"), (AppTraffic{0, kMax}));
}

TEST(TrafficStoreFaults, UnreadableFilesAreSetAsideWholeAndAFreshStoreWorks) {
    const std::function<bool(const TempStore&)> damage[] = {
        // A former file that cannot be read...
        [](const TempStore& s) { return s.write("{\"2024-01-01\": {\"t"); },
        [](const TempStore& s) { return s.write("[{\"totalIn\": 5}]"); },
        // ...or a store, saved before with its side files, overwritten with something else...
        [](const TempStore& s) {
            s.open()->stopAndSave();
            return writeFile(s.path(), QByteArray(8192, 'x'));
        },
        // ...or replaced by a link to someone else's file.
        [](const TempStore& s) {
            s.open()->stopAndSave();
            return QFile::remove(s.path()) && writeFile(s.dir.filePath("elsewhere"), "theirs") &&
                   QFile::link(s.dir.filePath("elsewhere"), s.path());
        },
    };
    for (int kind = 0; kind < 4; ++kind) {
        SCOPED_TRACE(kind);
        TempStore store;
        ASSERT_TRUE(damage[kind](store));
        const QByteArray json = readFile(store.file("traffic.json"));
        EXPECT_FALSE(exported(store.path()));

        LogCapture log;
        auto recorder = store.open();
        recorder->recordTotal({4, 3});
        recorder->stopAndSave();
        EXPECT_EQ(store.open()->getToday(), (DailyTraffic{{4, 3}, {}}));
        EXPECT_FALSE(log.of("quillfern.store").isEmpty());
        const QStringList aside = store.filesLike("traffic.*.unreadable-*");
        ASSERT_TRUE(aside.size() == 1 || (kind == 2 && aside.size() == 3))
            << aside.join(' ').toStdString();
        if (kind < 2) {
            EXPECT_EQ(readFile(store.file(aside[0])), json);
        }
        if (kind == 3) {
            EXPECT_EQ(readFile(store.dir.filePath("elsewhere")), "theirs");
        }
    }
}

// Saves refused from the first one (the store cannot even be created) or after a good one (a
// big save meets a full disk, here a file size limit) keep the figures in memory, are said
// once, and go through once the limit is lifted. In a child, as the limit binds a process.
TEST(TrafficStoreFaults, RefusedSavesKeepTheFiguresSaySoOnceAndRetry) {
    const auto limitFileSize = [](rlim_t bytes) {
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = std::min(bytes, limit.rlim_max);
        ::setrlimit(RLIMIT_FSIZE, &limit);
    };
    for (const bool fromTheStart : {true, false}) {
        SCOPED_TRACE(fromTheStart ? "from the start" : "after a good save");
        TempStore store;
        qftest::ChildOptions o;
        o.body = [&] {
            ::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails instead of ending us
            LogCapture log;
            if (fromTheStart)
                limitFileSize(0);
            auto recorder = store.open();
            recorder->recordTotal({1, 1});
            recorder->stopAndSave();
            if (!fromTheStart) // no file may grow from here on
                limitFileSize(0);
            for (int i = 0; i < 60; ++i)
                recorder->processAppSample(
                    runOf({{"seed", {0, 0}}, {QStringLiteral("app%1").arg(i), {1u << 20, 1}}}));
            for (int i = 0; i < 2; ++i) {
                recorder->recordTotal({2, 2});
                recorder->stopAndSave();
            }
            if (log.of("quillfern.store").size() != 1)
                return 1;
            limitFileSize(RLIM_INFINITY);
            recorder->stopAndSave();
            const auto today = store.open()->getToday();
            return today && today->total.in == 5 && today->apps.size() == 59 ? 0 : 2;
        };
        EXPECT_EQ(qftest::run(std::move(o)).exitCode, 0);
    }
}
