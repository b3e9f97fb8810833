#include "RecorderTestSupport.h"
#include "TestSupport.h"
#include "TrafficStore.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>
#include <random>

namespace {

// Generation g of the store the saving child grows: today's totals and 64 applications
// whose figures follow from g alone.
DailyTraffic expectedGeneration(std::uint64_t g) {
    DailyTraffic day(g, g * (g + 1) / 2);
    for (std::uint64_t k = 1; k <= g; ++k) {
        AppTraffic& app = day.apps["app" + QString::number(k % 64)];
        app.bytesIn += k;
        app.bytesOut += 2 * k;
    }
    return day;
}

// Grows the store generation by generation, announcing 'b' before each save and 'e' once it
// has returned.
[[noreturn]] void saveForever(const QString& path, const qftest::EventPipe& events) {
    TrafficRecorder::Config config;
    config.dataPath = path;
    TrafficRecorder recorder(config);
    std::uint64_t g = recorder.getToday() ? recorder.getToday()->totalIn : 0;
    recorder.processAppSample({{"seed", {0, 0}}});
    for (;;) {
        ++g;
        recorder.recordTotal(g, 1);
        recorder.processAppSample(
            {{"seed", {0, 0}}, {"app" + QString::number(g % 64), {g, 2 * g}}});
        events.post('b');
        recorder.saveData();
        events.post('e');
    }
}

} // namespace

// The saver is killed at points it announces, after a few completed saves or just as the
// next one begins, so the kills land all over a save however slow the machine is.
TEST(Robustness, KilledSaverNeverLeavesABrokenFile) {
    TempStore store;
    const QString day = TrafficRecorder::todayString();
    std::uint64_t previous = 0;
    for (int kill = 0; kill < 60; ++kill) {
        const int saves = 1 + kill % 3;
        const bool duringNext = kill % 2 == 1;
        qftest::EventPipe events;
        qftest::ChildOptions o;
        o.body = [&]() -> int { saveForever(store.path(), events); };
        qftest::Child child(std::move(o));
        events.closeWriter();
        int completed = 0;
        for (;;) {
            const auto event = events.wait();
            ASSERT_TRUE(event) << "the saver stopped talking";
            completed += *event == 'e' ? 1 : 0;
            if (completed == saves && (!duringNext || *event == 'b'))
                break;
        }
        child.kill();

        TrafficDays days;
        ASSERT_EQ(trafficFromJson(store.read(), days), TrafficParse::Ok) << "after kill " << kill;
        if (TrafficRecorder::todayString() != day)
            GTEST_SKIP() << "the day changed during the test";
        ASSERT_EQ(days.size(), 1u);
        const std::uint64_t g = days.begin()->second.totalIn;
        // Every save that returned is on disk.
        ASSERT_GE(g, previous + saves) << "after kill " << kill;
        ASSERT_EQ(days.begin()->second, expectedGeneration(g)) << "generation " << g;
        previous = g;
    }
    // A loader never found anything to move aside.
    EXPECT_TRUE(
        QDir(store.dir.filePath("Quillfern")).entryList({"*.unreadable-*"}, QDir::Files).isEmpty());
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

TEST(Robustness, FiftyMegabyteFileLoads) {
    TempStore store;
    QByteArray text = "{\"2024-01-01\": {\"totalIn\": 5, \"totalOut\": 6, \"apps\": {}}, "
                      "\"padding\": \"";
    text += QByteArray(50 * 1024 * 1024, 'x');
    text += "\"}";
    store.write(text);
    text.clear();
    auto recorder = store.open();
    EXPECT_EQ(recorder->getDay("2024-01-01"), DailyTraffic(5, 6));
    EXPECT_FALSE(recorder->getDay("padding"));
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
