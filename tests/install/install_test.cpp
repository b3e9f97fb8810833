// Installs the build into a temporary prefix and starts the installed program from there:
// it must find its per-process tool in the installed layout, not only in the build tree.

#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace qftest;

TEST(Install, InstalledProgramRunsTheInstalledTool) {
    TempDir prefix;
    const RunResult install =
        run({QUILLFERN_CMAKE_COMMAND, "--install", buildDir(), "--prefix", prefix.path()}, 5min);
    ASSERT_EQ(install.exitCode, 0) << install.err;

    XServer x;
    if (!x.ready())
        GTEST_SKIP() << x.why();
    // Hide the build tree's tool for the duration: what runs must be the installed copy.
    const fs::path hidden = toolPath().string() + ".hidden-by-install-test";
    fs::rename(toolPath(), hidden);
    struct Restore {
        fs::path from, to;
        ~Restore() { fs::rename(from, to); }
    } restore{hidden, toolPath()};

    Sandbox box;
    box.setDisplay(x.display());
    auto program = box.start({(prefix / "bin/quillfern").string()}, "program");
    // The recorder samples once at start-up, and the tool leaves its state file behind.
    EXPECT_TRUE(
        waitUntil([&] { return fs::exists(box.runtimeDir() / "quillfern/nettop-state.v1"); }, 60s))
        << "the installed program never ran the installed tool\n"
        << box.logs();
}
