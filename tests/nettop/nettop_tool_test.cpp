// The built tool's command line and its state file, in the current network namespace
// (no root needed).

#include "NettopTestSupport.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace qftest;

TEST(NettopTool, RefusesBadCommandLinesSilently) {
    TempDir dir;
    ChildOptions o;
    o.argv = {toolPath().string(), "-L", "0"};
    o.env = {"XDG_RUNTIME_DIR=" + dir.path().string()};
    const RunResult refused = run(o);
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_TRUE(refused.out.empty());
    EXPECT_FALSE(fs::exists(dir / "quillfern")) << "nothing is written on a refusal";
}

TEST(NettopTool, StateFileIsPrivateAndReplacesGarbageAndLinks) {
    TempDir dir;
    const fs::path stateDir = dir / "quillfern";
    const fs::path state = stateDir / "nettop-state.v1";
    ASSERT_EQ(::mkdir(stateDir.c_str(), 0700), 0);
    std::ofstream(state, std::ios::binary) << std::string(5000, '\xff') << "QFNTSTAT";
    ASSERT_EQ(runTool(dir.path().string()).exitCode, 0);
    struct stat st {};
    ASSERT_EQ(::lstat(state.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(slurp(state).substr(0, 8), "QFNTSTAT");

    // A link planted in place of the state file is replaced, never written through, and no
    // temporary file is left behind.
    const fs::path victim = dir / "victim";
    std::ofstream(victim) << "keep me";
    fs::remove(state);
    fs::create_symlink(victim, state);
    ASSERT_EQ(runTool(dir.path().string()).exitCode, 0);
    EXPECT_EQ(slurp(victim), "keep me");
    ASSERT_EQ(::lstat(state.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(std::distance(fs::directory_iterator(stateDir), fs::directory_iterator()), 1);

    // Without a runtime directory: the cache directory, made private.
    ASSERT_EQ(runTool("", {}, {}, {"XDG_CACHE_HOME=", "HOME=" + dir.path().string()}).exitCode, 0);
    EXPECT_TRUE(fs::is_regular_file(dir / ".cache/quillfern/nettop-state.v1"));
    EXPECT_EQ(fs::status(dir / ".cache/quillfern").permissions() & fs::perms::all,
              fs::perms::owner_all);
}
