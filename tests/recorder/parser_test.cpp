#include "AppSampling.h"
#include "RecorderTestSupport.h"

#include <gtest/gtest.h>

TEST(ParseNettop, RealShapedOutputAndLinesThatDoNotFit) {
    const QString mixed = QString::fromUtf8(
        readFile(QStringLiteral(QUILLFERN_SOURCE_DIR "/tests/fixtures/nettop/mixed.csv")));
    const AppSample expected{
        // Two lines of one process name add up, wherever they are.
        {"kernel_task", {322737, 229261}},
        {"launchd", {0, 0}},
        {"com.example.sync", {1000, 2000}},
        {"Code Helper (Pl", {55, 66}},
        // A plus sign is fine; a minus makes the count 0. Spaces are not digits.
        {"mDNSResponder", {77, 0}},
        {"Google Chrome He", {0, 0}},
        // Past 64 bits reads as 0; 2^64 - 1 itself still fits.
        {"big", {0, UINT64_MAX}},
        {"a.b.c", {0, 9}},
        // Six fields are enough; fewer, or a name without a process id, is no line.
        {"short", {1, 1}},
    };
    AppSample sums;
    for (const ProcessCounters& process : appParseProcesses(mixed))
        sums[process.name] += process.counters;
    EXPECT_EQ(sums, expected);
}

namespace {

// Feeds the runs in order (none: a failed run), as the recorder does, and sums what each
// name was credited.
AppSample credited(const std::vector<std::optional<ProcessSample>>& runs) {
    std::optional<ProcessSample> reference;
    AppSample total;
    for (const auto& run : runs) {
        AppSampleStep step = appSampleStep(reference, run);
        for (const auto& [name, bytes] : step.growth) {
            EXPECT_FALSE(bytes.isZero()) << name.toStdString();
            total[name] += bytes;
        }
        reference = std::move(step.reference);
    }
    return total;
}

} // namespace

TEST(AppSampleStep, GrowthPerProcessAcrossRuns) {
    // A quiet run is a reference too, so a process that appears after it counts from zero.
    EXPECT_EQ(credited({ProcessSample{}, ProcessSample{}, ProcessSample{{"a", {100, 50}, "1"}},
                        ProcessSample{{"a", {150, 60}, "1"}}}),
              (AppSample{{"a", {150, 60}}}));
    // The first good run, and the first after a failed run (a partial output is one), only
    // set the reference: nothing missing from it is credited its whole count again.
    EXPECT_EQ(
        credited({ProcessSample{{"a", {1'000'000, 0}, "1"}, {"b", {10, 0}, "2"}}, std::nullopt,
                  ProcessSample{{"a", {1'000'010, 0}, "1"}, {"b", {30, 0}, "2"}},
                  ProcessSample{{"a", {1'000'020, 0}, "1"}, {"b", {40, 0}, "2"}}}),
        (AppSample{{"a", {10, 0}}, {"b", {10, 0}}}));
    // A rename credits the growth to the new name only.
    EXPECT_EQ(credited({ProcessSample{{"a", {100, 10}, "7"}}, ProcessSample{{"b", {150, 10}, "7"}},
                        ProcessSample{{"c", {160, 12}, "7"}}}),
              (AppSample{{"b", {50, 0}}, {"c", {10, 2}}}));
    // A lower count under a known identifier is a new process (a reused id): all of it is growth.
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
}
