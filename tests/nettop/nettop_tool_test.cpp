// The built tool's state file, in the current network namespace (no root needed).

#include "NettopTestSupport.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace qftest;

TEST(NettopTool, StateFileIsPrivateAndReplacesPlantedLinks) {
    TempDir dir;
    const fs::path stateDir = dir / "quillfern";
    const fs::path state = stateDir / "nettop-state.v1";
    const fs::path victim = dir / "victim";
    ASSERT_EQ(::mkdir(stateDir.c_str(), 0700), 0);
    std::ofstream(victim) << "keep me";
    fs::create_symlink(victim, state);
    // The link is replaced, never written through, and no temporary file is left behind.
    ASSERT_EQ(runTool(dir.path().string()).exitCode, 0);
    EXPECT_EQ(slurp(victim), "keep me");
    struct stat st {};
    ASSERT_EQ(::lstat(state.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(std::distance(fs::directory_iterator(stateDir), fs::directory_iterator()), 1);

    // Without a runtime directory: the cache directory, made private.
    ASSERT_EQ(runTool("", {}, {}, {"XDG_CACHE_HOME=", "HOME=" + dir.path().string()}).exitCode, 0);
    EXPECT_TRUE(fs::is_regular_file(dir / ".cache/quillfern/nettop-state.v1"));
    EXPECT_EQ(fs::status(dir / ".cache/quillfern").permissions() & fs::perms::all,
              fs::perms::owner_all);
}
