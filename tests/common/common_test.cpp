#include "LogCapture.h"
#include "Saturating.h"
#include "StateLatch.h"
#include "StateReporter.h"

#include <gtest/gtest.h>
#include <limits>

namespace {

Q_LOGGING_CATEGORY(lcTest, "quillfern.test", QtInfoMsg)

TEST(Saturating, HoldsAtTheEndsInsteadOfWrapping) {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    static_assert(saturatingAdd(2, 3) == 5 && saturatingSub(5, 3) == 2);
    EXPECT_EQ(saturatingAdd(max - 1, 1), max);
    EXPECT_EQ(saturatingAdd(max, max), max);
    EXPECT_EQ(saturatingSub(3, 5), 0u);
}

TEST(StateLatch, SaysAProblemOnceAgainWhenItChangesAndItsEnd) {
    using Say = StateLatch::Say;
    StateLatch latch;
    EXPECT_EQ(latch.update(""), Say::Nothing) << "well from the start: nothing to say";
    EXPECT_EQ(latch.update("disk full"), Say::Problem);
    EXPECT_TRUE(latch.failing());
    EXPECT_EQ(latch.update("disk full"), Say::Nothing);
    EXPECT_EQ(latch.update("read-only"), Say::Problem);
    EXPECT_EQ(latch.update(""), Say::Recovered);
    EXPECT_FALSE(latch.failing());
    EXPECT_EQ(latch.update(""), Say::Nothing);
    EXPECT_EQ(latch.update("disk full"), Say::Problem) << "a problem that comes back is new";
}

TEST(StateReporter, WarnsThroughItsCategoryAndSaysTheRecovery) {
    LogCapture log;
    StateReporter reporter(lcTest(), QStringLiteral("works again"));
    reporter.clear();
    for (int i = 0; i < 3; ++i) {
        reporter.report(QStringLiteral("cannot save: disk full"));
    }
    reporter.clear();
    EXPECT_EQ(log.of("quillfern.test"), (QStringList{"cannot save: disk full", "works again"}));
    ASSERT_EQ(log.lines().size(), 2);
    EXPECT_EQ(log.lines()[0].type, QtWarningMsg);
    EXPECT_EQ(log.lines()[1].type, QtInfoMsg);
}

} // namespace
