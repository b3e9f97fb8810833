#include "RecorderTestSupport.h"
#include "TrafficStore.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr std::uint64_t kMax = UINT64_MAX;
constexpr std::uint64_t kInt64Max = 9223372036854775807ull;

TrafficDays parse(const char* text) {
    TrafficDays days;
    EXPECT_EQ(trafficFromJson(QByteArray(text), days), TrafficParse::Ok) << text;
    return days;
}

QStringList asideFiles(const TempStore& store) {
    return QDir(store.dir.filePath(QStringLiteral("Quillfern")))
        .entryList({QStringLiteral("traffic.json.unreadable-*")}, QDir::Files | QDir::System);
}

mode_t modeOf(const QString& path) {
    struct stat st {};
    ::stat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 0777;
}

} // namespace

TEST(TrafficStore, ReaderIsTolerantMemberByMember) {
    const TrafficDays days = parse(R"({
        "2024-01-01": {"totalIn": 10, "totalOut": 20,
                       "apps": {"a": {"in": 1, "out": 2}, "bad": 7, "b": {"in": "5", "out": 3},
                                "c": {}, "d": [1]}},
        "2024-01-02": 5,
        "2024-01-03": "day",
        "2024-01-04": {},
        "2024-01-05": {"totalIn": "123", "totalOut": 12.5, "apps": []},
        "2024-01-06": {"totalIn": -5, "totalOut": null, "extra": {"x": 1}},
        "not a day": {"totalIn": 1.0, "totalOut": 1e3}
    })");
    ASSERT_EQ(days.size(), 5u);
    EXPECT_EQ(days.at("2024-01-01"),
              DailyTraffic(10, 20, {{"a", {1, 2}}, {"b", {0, 3}}, {"c", {0, 0}}}));
    EXPECT_EQ(days.at("2024-01-04"), DailyTraffic());
    EXPECT_EQ(days.at("2024-01-05"), DailyTraffic());
    EXPECT_EQ(days.at("2024-01-06"), DailyTraffic());
    // Whole numbers count however they are spelt; the loader does not judge the key.
    EXPECT_EQ(days.at("not a day"), DailyTraffic(1, 1000));

    TrafficDays untouched{{"x", DailyTraffic(1)}};
    EXPECT_EQ(trafficFromJson("[]", untouched), TrafficParse::NotObject);
    EXPECT_EQ(trafficFromJson("", untouched), TrafficParse::NotJson);
    EXPECT_EQ(trafficFromJson("{\"a\": ", untouched), TrafficParse::NotJson);
    EXPECT_EQ(untouched.size(), 1u);
}

TEST(TrafficStore, LargeCountsKeepEveryDigit) {
    // Above 2^53 a double would round; these must come back exactly.
    const TrafficDays days = parse(R"({"d": {"totalIn": 9223372036854775807,
        "totalOut": 9007199254740993, "apps": {"a": {"in": 9223372036854775808,
        "out": 18446744073709551616}, "b": {"in": 1e300, "out": -9223372036854775808}}}})");
    const DailyTraffic& day = days.at("d");
    EXPECT_EQ(day.totalIn, kInt64Max);
    EXPECT_EQ(day.totalOut, 9007199254740993ull);
    // Past the signed range: not an integer of the format, so 0.
    EXPECT_EQ(day.apps.at("a"), AppTraffic(0, 0));
    EXPECT_EQ(day.apps.at("b"), AppTraffic(0, 0));

    // Counts the format cannot hold are written as the largest it can.
    const TrafficDays big{
        {"d", DailyTraffic(kMax, 9007199254740993ull, {{"a", {kInt64Max + 1, kInt64Max}}})}};
    const TrafficDays back = parse(trafficToJson(big).constData());
    EXPECT_EQ(back.at("d"),
              DailyTraffic(kInt64Max, 9007199254740993ull, {{"a", {kInt64Max, kInt64Max}}}));
}

TEST(TrafficStore, WriterRoundTripsWithExactlyTheKnownMembers) {
    const TrafficDays days{
        {"2024-02-29", DailyTraffic(5, 6, {{"com.example.sync", {1, 2}}, {"zero", {0, 0}}})},
        // Totals that differ from the applications' sums are kept as they are.
        {"2024-03-01", DailyTraffic(0, 0, {{"Code Helper (Pl", {300, 400}}})},
        {"2024-03-02", DailyTraffic(7, 8)},
        {"quote\"back\\slash\ttab\x01", DailyTraffic(1, 2, {{QString::fromUtf8("网易"), {3, 4}}})},
    };
    const QByteArray text = trafficToJson(days);
    EXPECT_TRUE(text.contains("\n    \"2024-02-29\": {\n        \"totalIn\": 5"))
        << text.constData();
    EXPECT_EQ(parse(text.constData()), days);

    const QJsonObject top = QJsonDocument::fromJson(text).object();
    for (const QString& key : top.keys()) {
        const QJsonObject day = top.value(key).toObject();
        EXPECT_EQ(day.keys(), (QStringList{"apps", "totalIn", "totalOut"}));
        for (const QString& name : day.value("apps").toObject().keys())
            EXPECT_EQ(day.value("apps").toObject().value(name).toObject().keys(),
                      (QStringList{"in", "out"}));
    }
    EXPECT_EQ(trafficToJson({}), QByteArray("{}\n"));
    EXPECT_EQ(QJsonDocument::fromJson(trafficToJson({})).object().size(), 0);
}

TEST(TrafficRecorderFile, SavesPrivatelyAndLoadsBack) {
    TempStore store;
    auto recorder = store.open();
    EXPECT_EQ(recorder->dataPath(), store.path());
    // We created the directory, so it is the user's alone.
    EXPECT_EQ(modeOf(store.dir.filePath("Quillfern")), 0700u);
    EXPECT_FALSE(QFileInfo::exists(store.path()));

    recorder->saveData();
    EXPECT_EQ(QJsonDocument::fromJson(store.read()).object().size(), 0);
    EXPECT_EQ(modeOf(store.path()), 0600u);

    recorder->recordTotal(100, 250);
    recorder->saveData();
    auto reloaded = store.open();
    EXPECT_EQ(reloaded->getToday(), DailyTraffic(250, 100));
    EXPECT_EQ(modeOf(store.path()), 0600u);

    // A file that others could read is made private again by the next save.
    ::chmod(QFile::encodeName(store.path()).constData(), 0644);
    reloaded->recordTotal(1, 0);
    reloaded->saveData();
    EXPECT_EQ(modeOf(store.path()), 0600u);
}

TEST(TrafficRecorderFile, EmptyPathMeansTheFallbackWithoutLoading) {
    TrafficRecorder::Config config;
    config.dataPath.clear();
    TrafficRecorder recorder(config);
    EXPECT_EQ(recorder.dataPath(), "/tmp/quillfern_traffic.json");
    EXPECT_TRUE(recorder.recentDays(1).size() == 1);
    EXPECT_FALSE(recorder.getToday());
}

TEST(TrafficRecorderFile, ExistingDirectoryKeepsItsMode) {
    TempStore store;
    QDir().mkpath(store.dir.filePath("Quillfern"));
    ::chmod(QFile::encodeName(store.dir.filePath("Quillfern")).constData(), 0755);
    auto recorder = store.open();
    EXPECT_EQ(modeOf(store.dir.filePath("Quillfern")), 0755u);
}

TEST(TrafficRecorderFile, UnchangedStoreIsNotRewritten) {
    TempStore store;
    store.write(R"({"2024-01-01": {"totalIn": "7", "totalOut": 1, "apps": {}}})");
    auto recorder = store.open();
    ASSERT_EQ(recorder->getDay("2024-01-01"), DailyTraffic(0, 1));
    recorder->saveData();
    // Nothing changed since the load: the file is left exactly as it was.
    EXPECT_EQ(store.read(),
              QByteArray(R"({"2024-01-01": {"totalIn": "7", "totalOut": 1, "apps": {}}})"));

    recorder->recordTotal(0, 5);
    recorder->saveData();
    const QByteArray written = store.read();
    EXPECT_NE(written.indexOf("\"totalIn\": 5"), -1);
    // A second save with nothing new leaves the same file (same inode, same bytes).
    struct stat before {};
    ::stat(QFile::encodeName(store.path()).constData(), &before);
    recorder->saveData();
    recorder->recordTotal(0, 0); // today exists already: no change
    recorder->saveData();
    struct stat after {};
    ::stat(QFile::encodeName(store.path()).constData(), &after);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(store.read(), written);

    // A file removed behind our back is written again even without a change.
    QFile::remove(store.path());
    recorder->saveData();
    EXPECT_EQ(store.read(), written);
}

TEST(TrafficRecorderFile, UnreadableFileIsMovedAsideBeforeAnySave) {
    for (const QByteArray& bad : {QByteArray("{\"2024-01-01\": {\"totalIn\": 5"),
                                  QByteArray("[{\"totalIn\": 5}]"), QByteArray("\xff\xfe{}")}) {
        TempStore store;
        store.write(bad);
        auto recorder = store.open();
        EXPECT_FALSE(recorder->getDay("2024-01-01"));
        const QStringList aside = asideFiles(store);
        ASSERT_EQ(aside.size(), 1) << bad.constData();
        EXPECT_TRUE(QRegularExpression("^traffic\\.json\\.unreadable-\\d{8}-\\d{6}$")
                        .match(aside.first())
                        .hasMatch())
            << aside.first().toStdString();
        QFile kept(store.dir.filePath("Quillfern/" + aside.first()));
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), bad);
        recorder->recordTotal(1, 1);
        recorder->saveData();
        EXPECT_EQ(store.open()->getToday(), DailyTraffic(1, 1));
    }
}

TEST(TrafficRecorderFile, EmptyOrMissingFileIsNoFault) {
    TempStore store;
    store.write("  \n");
    auto recorder = store.open();
    EXPECT_TRUE(asideFiles(store).isEmpty());
    recorder->saveData();
    EXPECT_EQ(QJsonDocument::fromJson(store.read()).object().size(), 0);
    EXPECT_TRUE(QJsonDocument::fromJson(store.read()).isObject());
}

namespace {

// Permission checks do not apply to root; as root, the scenario runs in a child that has
// become an ordinary user. Returns the scenario's result (0 when every check held).
template <class Scenario> int withoutPrivileges(const TempStore& store, Scenario scenario) {
    if (::geteuid() != 0)
        return scenario();
    const uid_t nobody = 65534;
    const QString root = store.dir.path();
    QDir().mkpath(store.dir.filePath("Quillfern"));
    for (const QString& path : {root, store.dir.filePath("Quillfern"), store.path()})
        ::chown(QFile::encodeName(path).constData(), nobody, nobody);
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

TEST(TrafficRecorderFile, FileThatCannotBeMovedIsNeverOverwritten) {
    TempStore store;
    const QByteArray bad("not json at all");
    store.write(bad);
    const QString dir = store.dir.filePath("Quillfern");
    const int result = withoutPrivileges(store, [&] {
        // A directory we may not write to: the file can be neither renamed nor replaced.
        ::chmod(QFile::encodeName(dir).constData(), 0500);
        auto recorder = store.open();
        ::chmod(QFile::encodeName(dir).constData(), 0700);
        if (!asideFiles(store).isEmpty())
            return 1;
        // Writable again, yet the recorder still must not replace what it could not keep.
        recorder->recordTotal(1, 1);
        recorder->saveData();
        recorder->stopAndSave();
        return store.read() == bad ? 0 : 2;
    });
    EXPECT_EQ(result, 0);
}

TEST(TrafficRecorderFile, FileWithoutReadPermissionIsKeptAside) {
    TempStore store;
    const QByteArray good(R"({"2024-01-01": {"totalIn": 5, "totalOut": 6, "apps": {}}})");
    store.write(good);
    const int result = withoutPrivileges(store, [&] {
        ::chmod(QFile::encodeName(store.path()).constData(), 0000);
        auto recorder = store.open();
        const QStringList aside = asideFiles(store);
        if (aside.size() != 1)
            return 1;
        recorder->recordTotal(1, 1);
        recorder->saveData();
        if (!store.open()->getToday())
            return 2;
        const QString kept = store.dir.filePath("Quillfern/" + aside.first());
        ::chmod(QFile::encodeName(kept).constData(), 0600);
        QFile file(kept);
        return file.open(QIODevice::ReadOnly) && file.readAll() == good ? 0 : 3;
    });
    EXPECT_EQ(result, 0);
}

TEST(TrafficRecorderFile, FallbackLoadsNothingAndReplacesTheFile) {
    TempStore store;
    store.write(R"({"2024-01-01": {"totalIn": 5, "totalOut": 6, "apps": {}}})");
    auto recorder = store.open(/*load=*/false);
    EXPECT_FALSE(recorder->getDay("2024-01-01"));
    recorder->saveData();
    EXPECT_EQ(QJsonDocument::fromJson(store.read()).object().size(), 0);
    EXPECT_TRUE(asideFiles(store).isEmpty());
}

TEST(TrafficRecorderFile, DefaultConfigUsesTheUserDataDirectory) {
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath("data")));
    const TrafficRecorder::Config config = TrafficRecorder::defaultConfig();
    EXPECT_EQ(config.dataPath, home.filePath("data") + "/Quillfern/traffic.json");
    EXPECT_TRUE(config.load);
    EXPECT_EQ(config.toolArgs, (QStringList{"-P", "-x", "-L", "1", "-s", "1"}));
    EXPECT_TRUE(config.toolPath.endsWith("quillfern-nettop")) << config.toolPath.toStdString();
    EXPECT_EQ(config.toolTimeoutMs, 10000);
    EXPECT_EQ(config.sampleIntervalMs, 15000);
    EXPECT_EQ(config.saveIntervalMs, 60000);
}
