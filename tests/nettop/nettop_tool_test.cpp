// The built tool's command line and its state file, in the current network namespace
// (no root needed).

#include "NettopTestSupport.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace qftest;

namespace {

const std::string kHeader = "time,,interface,state,bytes_in,bytes_out,rx_dupe,rx_ooo,re-tx,"
                            "rtt_avg,rcvsize,tx_win,tc_class,tc_mgt,cc_algo,P,C,R,W,arch,";

RunResult runArgs(const TempDir& dir, const std::vector<std::string>& args) {
    ChildOptions o;
    o.argv = {toolPath().string()};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.env = {"XDG_RUNTIME_DIR=" + dir.path().string()};
    return run(std::move(o));
}

} // namespace

TEST(NettopTool, CommandLineHeadersAndRefusals) {
    TempDir dir;
    // The options themselves are the core suite's; here, a refusal's exit status and silence.
    const RunResult refused = runArgs(dir, {"-L", "0"});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_TRUE(refused.out.empty());
    // Nothing is written when the command line is refused.
    EXPECT_FALSE(fs::exists(dir / "quillfern"));

    // Each sample starts with the header, however the flags are spelt.
    const RunResult r = runArgs(dir, {"-Px", "-L", "3", "-s", "0"});
    ASSERT_EQ(r.exitCode, 0);
    std::size_t headers = 0;
    for (std::size_t at = 0; (at = r.out.find(kHeader + "\n", at)) != std::string::npos; ++at)
        ++headers;
    EXPECT_EQ(headers, 3u);
}

TEST(NettopTool, StateFileIsPrivateAndReplacesGarbageAndLinks) {
    TempDir dir;
    const fs::path stateDir = dir / "quillfern";
    const fs::path state = stateDir / "nettop-state.v1";
    ASSERT_EQ(::mkdir(stateDir.c_str(), 0700), 0);
    std::ofstream(state, std::ios::binary) << std::string(5000, '\xff') << "QFNTSTAT";

    RunResult r = runTool(dir.path().string());
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), kHeader);
    struct stat st {};
    ASSERT_EQ(::lstat(state.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(slurp(state).substr(0, 8), "QFNTSTAT");

    // A link planted in place of the state file is replaced, never written through.
    const fs::path victim = dir / "victim";
    std::ofstream(victim) << "keep me";
    fs::remove(state);
    fs::create_symlink(victim, state);
    r = runTool(dir.path().string());
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(slurp(victim), "keep me");
    ASSERT_EQ(::lstat(state.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    // Only the state file is left behind: no temporary files.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(stateDir))
        names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"nettop-state.v1"});
}

TEST(NettopTool, WithoutRuntimeDirTheCacheDirectoryIsUsed) {
    TempDir dir;
    ASSERT_EQ(runTool("", {}, {}, {"XDG_CACHE_HOME=" + (dir / "cache").string()}).exitCode, 0);
    EXPECT_TRUE(fs::is_regular_file(dir / "cache/quillfern/nettop-state.v1"));
    ASSERT_EQ(runTool("", {}, {}, {"XDG_CACHE_HOME=", "HOME=" + dir.path().string()}).exitCode, 0);
    EXPECT_TRUE(fs::is_regular_file(dir / ".cache/quillfern/nettop-state.v1"));
    EXPECT_EQ(fs::status(dir / ".cache/quillfern").permissions() & fs::perms::all,
              fs::perms::owner_all);
}
