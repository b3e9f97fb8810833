#include "RecorderTestSupport.h"
#include "TrafficDb.h"
#include "TrafficStore.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr std::uint64_t kMax = UINT64_MAX;
constexpr std::uint64_t kInt64Max = 9223372036854775807ull;

TrafficDays parse(const QByteArray& text) {
    TrafficDays days;
    EXPECT_EQ(trafficFromJson(text, days), TrafficParse::Ok) << text.constData();
    return days;
}

QStringList filesLike(const TempStore& store, const QString& pattern) {
    return QDir(store.dir.filePath(QStringLiteral("Quillfern")))
        .entryList({pattern}, QDir::Files | QDir::Dirs | QDir::System | QDir::NoDotAndDotDot);
}

mode_t modeOf(const QString& path) {
    struct stat st {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 0777;
}

QByteArray exported(const QString& dbPath) {
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    QString error;
    EXPECT_TRUE(trafficExportJson(dbPath, out, &error)) << error.toStdString();
    return out.data();
}

// Bytes this process handed to write(2) and friends: the writer thread's I/O included.
std::uint64_t bytesWritten() {
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : io.readAll().split('\n')) {
        if (line.startsWith("wchar:"))
            return line.mid(6).trimmed().toULongLong();
    }
    return 0;
}

// Counts the store's warnings, to prove a lasting failure is said once.
struct WarningCounter {
    static inline int count = 0;
    QtMessageHandler previous;
    WarningCounter() {
        count = 0;
        previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext& context, const QString&) {
                if (type == QtWarningMsg && context.category &&
                    QByteArray(context.category) == "quillfern.store")
                    ++count;
            });
    }
    ~WarningCounter() { qInstallMessageHandler(previous); }
};

// Permission checks do not apply to root; as root, the scenario runs in a child that has
// become an ordinary user. Returns the scenario's result (0 when every check held).
template <class Scenario> int withoutPrivileges(const TempStore& store, Scenario scenario) {
    if (::geteuid() != 0)
        return scenario();
    const uid_t nobody = 65534;
    QDir().mkpath(store.dir.filePath("Quillfern"));
    for (const QString& path : {store.dir.path(), store.dir.filePath("Quillfern")})
        if (::chown(QFile::encodeName(path).constData(), nobody, nobody) != 0)
            return 101;
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(nobody) != 0 || ::setuid(nobody) != 0)
            ::_exit(100);
        ::_exit(scenario());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

} // namespace

TEST(TrafficJson, ReaderIsTolerantMemberByMember) {
    const TrafficDays days = parse(R"({
        "2024-01-01": {"totalIn": 10, "totalOut": 20,
                       "apps": {"a": {"in": 1, "out": 2}, "bad": 7, "b": {"in": "5", "out": 3},
                                "c": {}, "d": [1]}},
        "2024-01-02": 5,
        "2024-01-04": {},
        "2024-01-05": {"totalIn": "123", "totalOut": 12.5, "apps": []},
        "2024-01-06": {"totalIn": -5, "totalOut": null, "extra": {"x": 1}},
        "not a day": {"totalIn": 1.0, "totalOut": 1e3}
    })");
    ASSERT_EQ(days.size(), 5u);
    EXPECT_EQ(days.at("2024-01-01"),
              DailyTraffic(10, 20, {{"a", {1, 2}}, {"b", {0, 3}}, {"c", {0, 0}}}));
    EXPECT_EQ(days.at("2024-01-05"), DailyTraffic());
    EXPECT_EQ(days.at("2024-01-06"), DailyTraffic());
    EXPECT_EQ(days.at("not a day"), DailyTraffic(1, 1000));

    TrafficDays untouched{{"x", DailyTraffic(1)}};
    EXPECT_EQ(trafficFromJson("[]", untouched), TrafficParse::NotObject);
    EXPECT_EQ(trafficFromJson("{\"a\": ", untouched), TrafficParse::NotJson);
    EXPECT_EQ(untouched.size(), 1u);

    // Above 2^53 a double would round; past the signed range a count is no integer of the
    // format; counts the format cannot hold are written as the largest it can.
    const DailyTraffic big = parse(R"({"d": {"totalIn": 9223372036854775807,
        "totalOut": 9007199254740993, "apps": {"a": {"in": 9223372036854775808}}}})")
                                 .at("d");
    EXPECT_EQ(big, DailyTraffic(kInt64Max, 9007199254740993ull, {{"a", {0, 0}}}));
    EXPECT_EQ(
        parse(trafficToJson({{"d", DailyTraffic(kMax, 1, {{"a", {kInt64Max + 1, 2}}})}})).at("d"),
        DailyTraffic(kInt64Max, 1, {{"a", {kInt64Max, 2}}}));
}

TEST(TrafficJson, WriterRoundTripsWithExactlyTheKnownMembers) {
    const TrafficDays days{
        {"2024-02-29", DailyTraffic(5, 6, {{"com.example.sync", {1, 2}}, {"zero", {0, 0}}})},
        {"2024-03-01", DailyTraffic(0, 0, {{"Code Helper (Pl", {300, 400}}})},
        {"2024-03-02", DailyTraffic(7, 8)},
        {"quote\"back\\slash\ttab\x01", DailyTraffic(1, 2, {{QString::fromUtf8("网易"), {3, 4}}})},
    };
    const QByteArray text = trafficToJson(days);
    EXPECT_EQ(parse(text), days);
    const QJsonObject top = QJsonDocument::fromJson(text).object();
    for (const QString& key : top.keys()) {
        const QJsonObject day = top.value(key).toObject();
        EXPECT_EQ(day.keys(), (QStringList{"apps", "totalIn", "totalOut"}));
        for (const QJsonValue app : day.value("apps").toObject())
            EXPECT_EQ(app.toObject().keys(), (QStringList{"in", "out"}));
    }
    EXPECT_EQ(trafficToJson({}), QByteArray("{}\n"));
}

TEST(TrafficStoreFile, PrivateLosslessAndOnlyWhatChanged) {
    TempStore store;
    {
        // Files an older version left readable by others become private when opened.
        QDir().mkpath(store.dir.filePath("Quillfern"));
        ::chmod(QFile::encodeName(store.dir.filePath("Quillfern")).constData(), 0700);
        store.write(R"({"2020-01-01": {"totalIn": 1, "totalOut": 2, "apps": {}}})");
        ::chmod(QFile::encodeName(store.jsonPath()).constData(), 0644);
    }
    auto recorder = store.open();
    recorder->recordTotal(kMax, kInt64Max + 1);
    recorder->processAppSample(runOf({{"seed", {0, 0}}}));
    recorder->processAppSample(runOf({{"seed", {0, 0}}, {"big", {kMax, kInt64Max + 1}}}));
    recorder->stopAndSave();
    for (const QString& file : {store.path(), store.path() + "-wal", store.path() + "-shm"})
        EXPECT_EQ(modeOf(file), 0600u) << file.toStdString();
    ASSERT_EQ(filesLike(store, "traffic.json.imported-*").size(), 1);
    EXPECT_EQ(
        modeOf(store.dir.filePath("Quillfern/" + filesLike(store, "traffic.json.imported-*")[0])),
        0600u);
    recorder.reset();

    // 2^64 - 1 and 2^63 come back exactly, though SQLite's integers are signed.
    ::chmod(QFile::encodeName(store.path()).constData(), 0644);
    recorder = store.open();
    const DailyTraffic expected(kInt64Max + 1, kMax, {{"big", {kMax, kInt64Max + 1}}});
    EXPECT_EQ(recorder->getToday(), expected);
    EXPECT_EQ(recorder->getDay("2020-01-01"), DailyTraffic(1, 2));
    EXPECT_EQ(modeOf(store.path()), 0600u);

    // A day that grows is written; an unchanged store writes nothing at all.
    recorder->processAppSample(runOf({{"seed", {0, 0}}}));
    recorder->waitForSaves();
    std::uint64_t before = bytesWritten();
    recorder->saveData();
    recorder->waitForSaves();
    EXPECT_EQ(bytesWritten(), before);
    recorder->processAppSample(runOf({{"seed", {0, 0}}, {"small", {1, 1}}}));
    recorder->saveData();
    recorder->waitForSaves();
    EXPECT_GT(bytesWritten(), before);
    EXPECT_EQ(store.open()->getToday()->apps.at("small"), AppTraffic(1, 1));
}

TEST(TrafficStoreFile, SaveOfOneChangeStaysSmallBesideALongHistory) {
    TempStore store;
    TrafficDays history;
    for (int d = 0; d < 200; ++d) {
        DailyTraffic day(d, d);
        for (int a = 0; a < 100; ++a)
            day.apps[QStringLiteral("application-%1").arg(a)] = AppTraffic(a, d);
        history[trafficDayKey(QDate(2020, 1, 1).addDays(d))] = day;
    }
    store.write(trafficToJson(history));
    auto recorder = store.open();
    recorder->processAppSample(runOf({}));
    for (int a = 0; a < 200; ++a)
        recorder->processAppSample(runOf({{QStringLiteral("app-%1").arg(a), {0, 0}}}));
    recorder->saveData();
    recorder->waitForSaves();
    const std::uint64_t before = bytesWritten();
    recorder->recordTotal(10, 10);
    recorder->processAppSample(runOf({{"app-0", {5, 5}}}));
    recorder->saveData();
    recorder->waitForSaves();
    EXPECT_LE(bytesWritten() - before, 64u * 1024);
    EXPECT_EQ(recorder->getDay("2020-06-01"), history.at("2020-06-01"));
}

TEST(TrafficStoreFile, OldFileMovesInOnceAndUnreadableOnesAreKept) {
    TempStore store;
    // Shaped like a real file, with the loader's tolerance.
    const QByteArray text = R"({"2024-01-01": {"totalIn": 10, "totalOut": 20,
        "apps": {"firefox": {"in": 1, "out": 2}, "bad": 7}}, "2024-01-02": {}, "x": 5})";
    store.write(text);
    EXPECT_EQ(store.open()->getDay("2024-01-01"), DailyTraffic(10, 20, {{"firefox", {1, 2}}}));
    EXPECT_FALSE(QFileInfo::exists(store.jsonPath()));
    const QStringList kept = filesLike(store, "traffic.json.imported-*");
    ASSERT_EQ(kept.size(), 1);
    EXPECT_TRUE(
        QRegularExpression("^traffic\\.json\\.imported-\\d{8}-\\d{6}$").match(kept[0]).hasMatch());
    QFile keptFile(store.dir.filePath("Quillfern/" + kept[0]));
    ASSERT_TRUE(keptFile.open(QIODevice::ReadOnly));
    EXPECT_EQ(keptFile.readAll(), text);

    for (const QByteArray& bad : {QByteArray("{\"2024-01-01\": {\"totalIn\": 5"),
                                  QByteArray("[{\"totalIn\": 5}]"), QByteArray("\xff\xfe{}")}) {
        TempStore other;
        other.write(bad);
        auto recorder = other.open();
        EXPECT_FALSE(recorder->getDay("2024-01-01"));
        ASSERT_EQ(filesLike(other, "traffic.json.unreadable-*").size(), 1) << bad.constData();
        recorder->recordTotal(1, 1);
        recorder->stopAndSave();
        EXPECT_EQ(other.open()->getToday(), DailyTraffic(1, 1));
    }
}

TEST(TrafficStoreFile, ExportImportRoundTripAndMergeTakesTheLarger) {
    TempStore store;
    const TrafficDays days{
        {"2024-02-29", DailyTraffic(5, 6, {{"com.example.sync", {1, 2}}, {"zero", {0, 0}}})},
        {"2024-03-02", DailyTraffic(7, 8)},
        {QString::fromUtf8("ключ\"\\"),
         DailyTraffic(1, 2, {{QString::fromUtf8("网易 \t"), {3, 4}}})},
    };
    store.write(trafficToJson(days));
    // Before anything moved in, the export is the waiting file.
    EXPECT_EQ(parse(exported(store.path())), days);
    store.open()->stopAndSave();
    EXPECT_EQ(parse(exported(store.path())), days);

    TempStore copy;
    QFile file(copy.dir.filePath("in.json"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(exported(store.path()));
    file.close();
    QString error;
    int count = 0;
    ASSERT_TRUE(trafficImportJson(copy.path(), file.fileName(), &error, &count))
        << error.toStdString();
    EXPECT_EQ(count, 3);
    EXPECT_EQ(parse(exported(copy.path())), days);

    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(R"({"2024-02-29": {"totalIn": 9, "totalOut": 1,
                   "apps": {"com.example.sync": {"in": 0, "out": 7}, "new": {"in": 3}}}})");
    file.close();
    ASSERT_TRUE(trafficImportJson(copy.path(), file.fileName(), &error, &count));
    EXPECT_EQ(
        parse(exported(copy.path())).at("2024-02-29"),
        DailyTraffic(9, 6, {{"com.example.sync", {1, 7}}, {"new", {3, 0}}, {"zero", {0, 0}}}));

    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[1, 2]");
    file.close();
    EXPECT_FALSE(trafficImportJson(copy.path(), file.fileName(), &error, &count));
    EXPECT_TRUE(error.contains("in.json")) << error.toStdString();
}

TEST(TrafficStoreFile, RangeSumsSeeMemoryAndStoreOnce) {
    TempStore store;
    const QString today = TrafficRecorder::todayString();
    const QString yesterday = trafficDayKey(QDate::currentDate().addDays(-1));
    store.write(QStringLiteral(R"({"%1": {"totalIn": 100, "totalOut": 10,
        "apps": {"a": {"in": 1}, "b": {"out": 9223372036854775807}}},
        "%2": {"totalIn": 5, "totalOut": 5, "apps": {"a": {"in": 2}, "b": {"out": 9223372036854775807}}},
        "1999-01-01": {"totalIn": 7, "totalOut": 7, "apps": {"b": {"out": 9}}}})")
                    .arg(yesterday, today)
                    .toUtf8());
    auto recorder = store.open();
    recorder->recordTotal(1, 1); // today is now in memory, on top of the stored figures
    recorder->processAppSample(runOf({{"a", {0, 0}}}));
    recorder->processAppSample(runOf({{"a", {0, 0}}, {"c", {4, 0}}}));
    const DailyTraffic sum = recorder->sumBetween(yesterday, today);
    EXPECT_EQ(sum, DailyTraffic(106, 16, {{"a", {3, 0}}, {"b", {0, kMax - 1}}, {"c", {4, 0}}}));
    const TrafficDays days = recorder->daysBetween("1999-01-01", today);
    ASSERT_EQ(days.size(), 3u);
    EXPECT_EQ(days.at(today), DailyTraffic(6, 6));
    // The whole range saturates rather than wrapping.
    EXPECT_EQ(recorder->sumBetween("0000", "9999").apps.at("b"), AppTraffic(0, kMax));
}

TEST(TrafficStoreFaults, DamagedOrStrangeStoresAreSetAsideWithTheirSideFiles) {
    for (int kind = 0; kind < 3; ++kind) {
        TempStore store;
        store.open()->stopAndSave(); // a real store, with its side files
        const QString elsewhere = store.dir.filePath("elsewhere.db");
        QFile::remove(store.path());
        if (kind == 0) {
            QFile garbage(store.path());
            ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
            garbage.write(QByteArray(8192, 'x'));
        } else if (kind == 1) {
            QDir().mkdir(store.path());
        } else {
            QFile target(elsewhere);
            ASSERT_TRUE(target.open(QIODevice::WriteOnly));
            target.write("someone else's file");
            target.close();
            ASSERT_TRUE(QFile::link(elsewhere, store.path()));
        }
        QString error;
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        EXPECT_FALSE(trafficExportJson(store.path(), out, &error)) << kind;
        EXPECT_FALSE(error.isEmpty());

        WarningCounter warnings;
        auto recorder = store.open();
        recorder->recordTotal(3, 4);
        recorder->stopAndSave();
        EXPECT_EQ(store.open()->getToday(), DailyTraffic(4, 3)) << kind;
        EXPECT_GE(warnings.count, 1);
        const QStringList aside = filesLike(store, "traffic.db.unreadable-*");
        EXPECT_TRUE(aside.size() == 1 || (kind == 0 && aside.size() == 3))
            << aside.join(' ').toStdString();
        if (kind == 2) {
            QFile target(elsewhere);
            ASSERT_TRUE(target.open(QIODevice::ReadOnly));
            EXPECT_EQ(target.readAll(), "someone else's file");
        }
    }
}

TEST(TrafficStoreFaults, ReadOnlyDirectoryKeepsFiguresAndRetries) {
    TempStore store;
    const QString dir = store.dir.filePath("Quillfern");
    const int result = withoutPrivileges(store, [&] {
        WarningCounter warnings;
        ::chmod(QFile::encodeName(dir).constData(), 0500);
        auto recorder = store.open();
        recorder->recordTotal(1, 2);
        recorder->saveData();
        recorder->recordTotal(1, 2);
        recorder->stopAndSave();
        if (recorder->getToday() != DailyTraffic(4, 2))
            return 1;
        if (warnings.count != 1)
            return 2;
        ::chmod(QFile::encodeName(dir).constData(), 0700);
        recorder->recordTotal(1, 0);
        recorder->stopAndSave();
        return store.open()->getToday() == DailyTraffic(4, 3) ? 0 : 3;
    });
    EXPECT_EQ(result, 0);
}

TEST(TrafficStoreFaults, FullDiskKeepsFiguresSaysSoOnceAndRetries) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a small tmpfs";
    TempStore store;
    const QString dir = store.dir.filePath("Quillfern");
    QDir().mkpath(dir);
    constexpr int kCannotMount = 77;
    // In a mount namespace of its own, so the machine never sees the tmpfs.
    const pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", 0, "size=1m,mode=0700") !=
                0)
            ::_exit(kCannotMount);
        WarningCounter warnings;
        auto recorder = store.open();
        recorder->recordTotal(1, 1);
        recorder->stopAndSave();
        QFile filler(dir + "/filler");
        if (!filler.open(QIODevice::WriteOnly))
            ::_exit(1);
        const QByteArray block(4096, 'x');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
        filler.close();
        for (int i = 0; i < 60; ++i)
            recorder->processAppSample(runOf(
                {{"seed", {0, 0}}, {QStringLiteral("app%1").arg(i), {1u << 20, 1}}}));
        recorder->recordTotal(2, 2);
        recorder->stopAndSave();
        recorder->recordTotal(2, 2);
        recorder->stopAndSave();
        if (warnings.count != 1 || recorder->getToday()->totalIn != 5)
            ::_exit(2);
        QFile::remove(dir + "/filler");
        recorder->stopAndSave();
        const auto today = store.open()->getToday();
        ::_exit(today && today->totalIn == 5 && today->apps.size() == 59 ? 0 : 3);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == kCannotMount)
        GTEST_SKIP() << "cannot mount a tmpfs in a private mount namespace here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
