#include "AppSampling.h"
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

TEST(ParseNettop, EachLineIsAProcessUnderItsIdentifier) {
    const ProcessSample lines = appParseProcesses(fixture("mixed.csv"));
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[3], (ProcessCounters{"Code Helper (Pl", {50, 60}, "51458"}));
    EXPECT_EQ(lines[8], (ProcessCounters{"a.b.c", {0, 9}, "7"}));
    EXPECT_EQ(appParseProcesses("t,a.,,,1,2"), (ProcessSample{{"a", {1, 2}, ""}}));
}

namespace {

using ToolOutcome = std::optional<ProcessSample>;

// Feeds the runs in order, as the recorder does, and sums what each name was credited.
AppSample credited(const std::vector<ToolOutcome>& runs) {
    std::optional<ProcessSample> reference;
    AppSample total;
    for (const ToolOutcome& run : runs) {
        AppSampleStep step = appSampleStep(reference, run);
        for (const auto& [name, bytes] : step.growth) {
            EXPECT_TRUE(bytes.in != 0 || bytes.out != 0) << name.toStdString();
            total[name].in += bytes.in;
            total[name].out += bytes.out;
        }
        reference = std::move(step.reference);
    }
    return total;
}

} // namespace

TEST(AppSampleStep, GrowthPerProcessAcrossRuns) {
    const ToolOutcome failed = std::nullopt;
    // The first good run only sets the reference; a quiet one is a reference too, so a process
    // that appears after it counts from zero.
    EXPECT_EQ(credited({ProcessSample{{"a", {100, 50}, "1"}}}), AppSample{});
    EXPECT_EQ(credited({ProcessSample{}, ProcessSample{}, ProcessSample{{"a", {100, 50}, "1"}},
                        ProcessSample{{"a", {150, 60}, "1"}}}),
              (AppSample{{"a", {150, 60}}}));
    // After a failed run (a partial output is one) the next good run only sets the reference:
    // nothing missing from it is credited its whole count again.
    EXPECT_EQ(credited({ProcessSample{{"a", {1'000'000, 0}, "1"}, {"b", {10, 0}, "2"}}, failed,
                        ProcessSample{{"a", {1'000'010, 0}, "1"}, {"b", {30, 0}, "2"}},
                        ProcessSample{{"a", {1'000'020, 0}, "1"}, {"b", {40, 0}, "2"}}}),
              (AppSample{{"a", {10, 0}}, {"b", {10, 0}}}));
    EXPECT_EQ(credited({failed, ProcessSample{{"a", {5, 5}, "1"}}}), AppSample{});
    // A rename credits the growth to the new name only.
    EXPECT_EQ(credited({ProcessSample{{"a", {100, 10}, "7"}}, ProcessSample{{"b", {150, 10}, "7"}},
                        ProcessSample{{"c", {160, 12}, "7"}}}),
              (AppSample{{"b", {50, 0}}, {"c", {10, 2}}}));
    // A lower count under a known identifier is a new process: all of it is growth.
    EXPECT_EQ(
        credited({ProcessSample{{"a", {1000, 1000}, "7"}}, ProcessSample{{"c", {30, 2000}, "7"}},
                  ProcessSample{{"c", {40, 2000}, "7"}}, ProcessSample{{"c", {50, 5}, "7"}}}),
        (AppSample{{"c", {90, 2005}}}));
    // One of two same-named processes exits: the other's growth still counts.
    EXPECT_EQ(credited({ProcessSample{{"w", {100, 0}, "1"}, {"w", {500, 0}, "2"}},
                        ProcessSample{{"w", {150, 0}, "1"}}}),
              (AppSample{{"w", {50, 0}}}));
    // Lines sharing an identifier are told apart by name first (a user's summed sockets
    // under a user id equal to a process id), even when one of them is renamed.
    EXPECT_EQ(credited({ProcessSample{{"x", {5, 0}, "1000"}, {"(user bob)", {10, 0}, "1000"}},
                        ProcessSample{{"(user bob)", {20, 0}, "1000"}, {"y", {8, 0}, "1000"}}}),
              (AppSample{{"(user bob)", {10, 0}}, {"y", {3, 0}}}));
    // Sums saturate instead of wrapping.
    EXPECT_EQ(credited({ProcessSample{},
                        ProcessSample{{"a", {UINT64_MAX, 0}, "1"}, {"a", {UINT64_MAX, 0}, "2"}}}),
              (AppSample{{"a", {UINT64_MAX, 0}}}));
}

TEST(ProcessAppSample, GrowthGoesToTodayAndTotalsStay) {
    TempStore store;
    auto recorder = store.open();
    recorder->processAppSample(std::nullopt);
    // Every run, failed or not, leaves today's entry behind.
    EXPECT_EQ(recorder->getToday(), DailyTraffic());
    recorder->stopAndSave();
    EXPECT_EQ(store.open()->getToday(), DailyTraffic());

    recorder->recordTotal(7, 9);
    recorder->processAppSample(ProcessSample{{"a", {100, 50}, "1"}, {"same", {10, 10}, "2"}});
    recorder->processAppSample(ProcessSample{{"a", {150, 50}, "1"}, {"same", {10, 10}, "2"}});
    recorder->processAppSample(ProcessSample{{"a", {160, 52}, "1"}, {"same", {10, 10}, "2"}});
    // A name that never grew gets no entry.
    EXPECT_EQ(recorder->getToday(), DailyTraffic(9, 7, {{"a", {60, 2}}}));
}
