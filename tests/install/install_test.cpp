// Installs the build into a temporary prefix and starts the installed program from there:
// it must find its per-process tool in the installed layout, not only in the build tree.

#include "TestSupport.h"

#include <csignal>
#include <ctime>
#include <gtest/gtest.h>

using namespace qftest;

TEST(Install, InstalledProgramRunsTheInstalledTool) {
    TempDir prefix;
    const RunResult install = run({QUILLFERN_CMAKE_COMMAND, "--install", buildDir().string(),
                                   "--prefix", prefix.path().string()},
                                  std::chrono::minutes(5));
    ASSERT_EQ(install.exitCode, 0) << install.err;

    const fs::path bin = prefix / "bin/quillfern";
    const fs::path tool = prefix / "libexec/quillfern/quillfern-nettop";
    EXPECT_EQ(::access(bin.c_str(), X_OK), 0);
    ASSERT_EQ(::access(tool.c_str(), X_OK), 0);
    const std::string desktop = slurp(prefix / "share/applications/quillfern.desktop");
    EXPECT_NE(desktop.find("Exec=quillfern"), std::string::npos);
    EXPECT_NE(desktop.find("Icon=quillfern"), std::string::npos);
    EXPECT_NE(slurp(prefix / "share/icons/hicolor/scalable/apps/quillfern.svg").find("<svg"),
              std::string::npos);

    XServer x;
    if (!x.ready())
        GTEST_SKIP() << x.why();
    // Hide the build tree's tool for the duration: what runs must be the installed copy.
    const fs::path hidden = toolPath().string() + ".hidden-by-install-test";
    std::error_code ec;
    fs::rename(toolPath(), hidden, ec);
    ASSERT_FALSE(ec) << ec.message();
    struct Restore {
        fs::path from, to;
        ~Restore() { fs::rename(from, to); }
    } restore{hidden, toolPath()};

    Sandbox box;
    box.setDisplay(x.display());
    auto program = box.start({bin.string()}, "program");
    // The recorder samples once at start-up, and the tool leaves its state file behind.
    const fs::path stateDir = box.runtimeDir() / "quillfern";
    const bool ran =
        waitUntil([&] { return fs::exists(stateDir / "nettop-state.v1"); }, 60s, stateDir);
    program->signal(SIGTERM);
    const auto status = program->waitExit();
    EXPECT_TRUE(ran) << "the installed program never ran the installed tool\n" << box.logs();
    EXPECT_EQ(describeStatus(status.value_or(-1)), "exited with 0");
    // The quit path saves: today is in the store the run leaves behind.
    char today[16];
    const std::time_t now = std::time(nullptr);
    std::strftime(today, sizeof today, "%Y-%m-%d", std::localtime(&now));
    EXPECT_NE(slurp(box.exportHistory()).find(today), std::string::npos)
        << "SIGTERM must end through the saving quit path";
}
