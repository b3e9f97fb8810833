// The real tool against real TCP traffic over a veth pair between two network namespaces,
// read by the recorder's own parser; and its state file, in the test's own namespace.

#include "NettopTestSupport.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace qftest;

constexpr uid_t kNobody = 65534;

TEST(NettopNetns, CountsRealTrafficPerProcessUntilItExits) {
    NetnsPair net(true);
    if (!net.ready())
        GTEST_SKIP() << net.why();
    TrafficServer v4(net.b(), NetnsPair::kAddrB), v6(net.b(), NetnsPair::kAddr6B);
    ASSERT_TRUE(v4.ready() && v6.ready()) << v4.why() << v6.why();
    constexpr std::uint64_t kUp = 300000, kDown = 200000;
    TrafficClient c(net.a(), "qfclient",
                    {{NetnsPair::kAddrB, v4.port()}, {NetnsPair::kAddr6B, v6.port()}}, kUp, kDown);
    ASSERT_TRUE(c.connected() && c.go()) << "the client could not reach both servers";

    TempDir runtime;
    const auto tool = [&](const char* line) {
        const RunResult r = runTool(runtime.path().string(), net.a());
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const AppSample s = recorderReads(r);
        ASSERT_EQ(s.count(line ? line : "qfclient"), line ? 1u : 0u) << r.out;
        if (!line)
            return;
        // Both connections; a handshake or a FIN can add a byte to each direction's count.
        const auto in = s.at(line).in - 2 * (kDown + kAckBytes),
                   out = s.at(line).out - 2 * (kUp + kRequestBytes);
        EXPECT_TRUE(in <= 4 && out <= 4) << r.out; // unsigned: below the least wraps far above
    };
    tool("qfclient");

    // The client closes its connections but lives on: its bytes stay on its line until it exits.
    ASSERT_TRUE(c.closeConnections());
    tool("qfclient");
    EXPECT_EQ(c.finish(), 0);
    tool(nullptr);
}

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
    EXPECT_EQ(fs::symlink_status(state).type(), fs::file_type::regular);
    EXPECT_EQ(fs::status(state).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(std::distance(fs::directory_iterator(stateDir), fs::directory_iterator()), 1);

    // A runtime directory that is named but missing, or another user's while they flip what is
    // in it between a directory of theirs and a link to one of root's: neither is followed nor
    // made; the state goes to the cache directory, made private.
    const fs::path theirs = dir / "theirs", roots = dir / "roots", flip = theirs / "quillfern";
    ASSERT_EQ(::mkdir(theirs.c_str(), 0755) | ::mkdir(roots.c_str(), 0700), 0);
    fs::permissions(dir.path(), fs::perms::others_exec, fs::perm_options::add);
    ASSERT_EQ(::chown(theirs.c_str(), kNobody, kNobody), 0);
    const auto flipper = [&] {
        for (int i = 0; i < 100000; ++i) {
            ::mkdir(flip.c_str(), 0777);
            ::rmdir(flip.c_str());
            ::symlink(roots.c_str(), flip.c_str());
            ::unlink(flip.c_str());
        }
        return 0;
    };
    Child flipping({.body = flipper, .uid = kNobody, .gid = kNobody});
    for (const fs::path& runtime : {dir / "missing", theirs, theirs}) {
        EXPECT_EQ(
            runTool(runtime, {}, {}, {"XDG_CACHE_HOME=", "HOME=" + dir.path().string()}).exitCode,
            0);
        EXPECT_TRUE(fs::is_regular_file(dir / ".cache/quillfern/nettop-state.v1"));
        fs::remove(dir / ".cache/quillfern/nettop-state.v1");
    }
    EXPECT_FALSE(fs::exists(dir / "missing"));
    EXPECT_TRUE(fs::is_empty(roots));
    EXPECT_EQ(fs::status(dir / ".cache/quillfern").permissions() & fs::perms::all,
              fs::perms::owner_all);
}
