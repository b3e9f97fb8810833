// The toolbox's promises its callers lean on without checking.

#include "Process.h"

#include <gtest/gtest.h>

using namespace qftest;

TEST(Child, CollectReadsBothOutputStreamsSideBySide) {
    // Far more than a pipe holds goes to standard error before anything to standard output:
    // read one after the other, the child would stall until the deadline.
    const RunResult r = run({"sh", "-c", "head -c 300000 /dev/zero >&2; echo out"}, 10min);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err.size(), 300000u);
    EXPECT_EQ(r.out, "out\n");
}
