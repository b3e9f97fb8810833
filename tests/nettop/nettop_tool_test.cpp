// The built tool's command line and its state file, in the current network namespace
// (no root needed).

#include "netns_support.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

using namespace qfnettop_test;
namespace fs = std::filesystem;

namespace {

const std::string kHeader = "time,,interface,state,bytes_in,bytes_out,rx_dupe,rx_ooo,re-tx,"
                            "rtt_avg,rcvsize,tx_win,tc_class,tc_mgt,cc_algo,P,C,R,W,arch,";

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

ToolRun run(const std::vector<std::string>& env) {
    return runIn("", {kTool, "-P", "-x", "-L", "1", "-s", "1"}, env);
}

} // namespace

TEST(NettopTool, OtherOptionsGetUsageAndStatusTwo) {
    TempDir dir;
    for (std::vector<std::string> args :
         {std::vector<std::string>{"-z"}, {"-L", "0"}, {"-P", "x"}, {"--version"}, {"-s"}}) {
        args.insert(args.begin(), kTool);
        const ToolRun r = runIn("", args, {"XDG_RUNTIME_DIR=" + dir.path});
        EXPECT_EQ(r.status, 2) << args[1];
        EXPECT_TRUE(r.out.empty()) << args[1];
    }
    // Nothing is written when the command line is refused.
    EXPECT_FALSE(fs::exists(dir.path + "/quillfern"));
}

TEST(NettopTool, StateFileIsPrivateAndReplacesGarbageAndLinks) {
    TempDir dir;
    const std::string stateDir = dir.path + "/quillfern";
    const std::string state = stateDir + "/nettop-state.v1";
    ASSERT_EQ(::mkdir(stateDir.c_str(), 0700), 0);
    std::ofstream(state, std::ios::binary) << std::string(5000, '\xff') << "QFNTSTAT";

    ToolRun r = run({"XDG_RUNTIME_DIR=" + dir.path});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), kHeader);
    struct stat st {};
    ASSERT_EQ(::lstat(state.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(slurp(state).substr(0, 8), "QFNTSTAT");

    // A link planted in place of the state file is replaced, never written through.
    const std::string victim = dir.path + "/victim";
    std::ofstream(victim) << "keep me";
    fs::remove(state);
    fs::create_symlink(victim, state);
    r = run({"XDG_RUNTIME_DIR=" + dir.path});
    ASSERT_EQ(r.status, 0);
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
    ToolRun r = run({"XDG_RUNTIME_DIR=", "XDG_CACHE_HOME=" + dir.path + "/cache"});
    ASSERT_EQ(r.status, 0);
    EXPECT_TRUE(fs::is_regular_file(dir.path + "/cache/quillfern/nettop-state.v1"));
    r = run({"XDG_RUNTIME_DIR=", "XDG_CACHE_HOME=", "HOME=" + dir.path});
    ASSERT_EQ(r.status, 0);
    EXPECT_TRUE(fs::is_regular_file(dir.path + "/.cache/quillfern/nettop-state.v1"));
    EXPECT_EQ(fs::status(dir.path + "/.cache/quillfern").permissions() & fs::perms::all,
              fs::perms::owner_all);
}

TEST(NettopTool, EachSampleStartsWithTheHeader) {
    TempDir dir;
    const ToolRun r =
        runIn("", {kTool, "-Px", "-L", "3", "-s", "0"}, {"XDG_RUNTIME_DIR=" + dir.path});
    ASSERT_EQ(r.status, 0);
    std::size_t headers = 0;
    for (std::size_t at = 0; (at = r.out.find(kHeader + "\n", at)) != std::string::npos; ++at)
        ++headers;
    EXPECT_EQ(headers, 3u);
}
