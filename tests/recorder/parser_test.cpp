#include "RecorderTestSupport.h"

#include <QFile>
#include <gtest/gtest.h>

namespace {

QString fixture(const char* name) {
    QFile file(QStringLiteral(QUILLFERN_SOURCE_DIR "/tests/fixtures/nettop/") + name);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name;
    return QString::fromUtf8(file.readAll());
}

} // namespace

TEST(ParseNettop, RealShapedOutput) {
    const AppSample sample = TrafficRecorder::parseNettop(fixture("mixed.csv"));
    const AppSample expected{
        // Two lines of one process name add up, wherever they are.
        {"kernel_task", {322737, 229261}},
        {"launchd", {0, 0}},
        {"com.example.sync", {1000, 2000}},
        {"Code Helper (Pl", {55, 66}},
        // A plus sign is fine; a minus makes the count 0.
        {"mDNSResponder", {77, 0}},
        // Spaces are not digits.
        {"Google Chrome He", {0, 0}},
        // Past 64 bits reads as 0; 2^64 - 1 itself still fits.
        {"big", {0, UINT64_MAX}},
        {"a.b.c", {0, 9}},
        // Six fields are enough; the last one ends the line.
        {"short", {1, 1}},
    };
    EXPECT_EQ(sample, expected);
}

TEST(ParseNettop, LinesThatDoNotFit) {
    EXPECT_TRUE(TrafficRecorder::parseNettop("").empty());
    EXPECT_TRUE(TrafficRecorder::parseNettop("\n\n\n").empty());
    EXPECT_TRUE(TrafficRecorder::parseNettop("t,a.1,,,1\n").empty());
    EXPECT_TRUE(TrafficRecorder::parseNettop("t,nodot,,,1,2\nt,.1,,,1,2\nt,,,,1,2").empty());
    EXPECT_EQ(TrafficRecorder::parseNettop("t,a.1,,,1,2"), (AppSample{{"a", {1, 2}}}));
    EXPECT_EQ(TrafficRecorder::parseNettop("t,a.,,,1,2"), (AppSample{{"a", {1, 2}}}));
    EXPECT_EQ(TrafficRecorder::parseNettop("t,a.1,,,+,-0\nt,a.2,,,1x,0x1"),
              (AppSample{{"a", {0, 0}}}));
    // The sum of one name saturates instead of wrapping.
    EXPECT_EQ(TrafficRecorder::parseNettop("t,a.1,,,18446744073709551615,1\nt,a.2,,,5,1"),
              (AppSample{{"a", {UINT64_MAX, 2}}}));
    EXPECT_EQ(TrafficRecorder::parseNettop("t,a.1,,,99999999999999999999,1"),
              (AppSample{{"a", {0, 1}}}));
}

TEST(ProcessAppSample, GrowthSinceThePreviousSample) {
    TempStore store;
    auto recorder = store.open();
    recorder->recordTotal(7, 9);
    const DailyTraffic totals(9, 7);

    // The first sample only sets the reference, but today exists afterwards.
    recorder->processAppSample({{"a", {100, 50}}, {"same", {10, 10}}});
    EXPECT_EQ(recorder->getToday(), totals);

    recorder->processAppSample({{"a", {150, 40}}, {"same", {10, 10}}, {"new", {5, 6}}});
    EXPECT_EQ(recorder->getToday(), DailyTraffic(9, 7, {{"a", {50, 0}}, {"new", {5, 6}}}));

    // An empty sample adds nothing and empties the reference...
    recorder->processAppSample({});
    recorder->processAppSample({{"a", {1000, 1000}}});
    EXPECT_EQ(recorder->getToday()->apps.at("a"), AppTraffic(50, 0));
    // ...so growth counts again only from the sample after it.
    recorder->processAppSample({{"a", {1100, 1000}}});
    EXPECT_EQ(recorder->getToday()->apps.at("a"), AppTraffic(150, 0));

    recorder->processAppSample({{"a", {1100, UINT64_MAX}}});
    recorder->processAppSample({{"a", {1100, UINT64_MAX}}, {"b", {1, 1}}});
    recorder->processAppSample({{"a", {1100, 0}}});
    recorder->processAppSample({{"a", {1100, UINT64_MAX}}});
    EXPECT_EQ(recorder->getToday()->apps.at("a"), AppTraffic(150, UINT64_MAX));
    EXPECT_EQ(recorder->getToday()->totalIn, 9u);
    EXPECT_EQ(recorder->getToday()->totalOut, 7u);
}

TEST(ProcessAppSample, EmptyFirstSampleCreatesToday) {
    TempStore store;
    auto recorder = store.open();
    recorder->processAppSample({});
    EXPECT_EQ(recorder->getToday(), DailyTraffic());
    recorder->stopAndSave();
    EXPECT_EQ(store.open()->getToday(), DailyTraffic());
}
