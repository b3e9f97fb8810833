// The real tool against real TCP traffic over a veth pair between two network namespaces,
// read by the recorder's own parser; and its state file, in the test's own namespace.

#include "NettopTestSupport.h"
#include "nettop_system.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace qftest;

TEST(NettopNetns, CountsRealTrafficPerProcessAndPerUser) {
    NetnsPair net(true);
    if (!net.ready())
        GTEST_SKIP() << net.why();
    TrafficServer v4(net.b(), NetnsPair::kAddrB), v6(net.b(), NetnsPair::kAddr6B);
    ASSERT_TRUE(v4.ready() && v6.ready()) << v4.why() << v6.why();
    constexpr std::uint64_t kUp = 300000, kDown = 200000;
    TrafficClient c(net.a(), "qfclient",
                    {{NetnsPair::kAddrB, v4.port()}, {NetnsPair::kAddr6B, v6.port()}}, kUp, kDown);
    ASSERT_TRUE(c.connected() && c.go()) << "the client could not reach both servers";

    TempDir runtime, nobodysRuntime;
    constexpr uid_t kNobody = 65534;
    ASSERT_EQ(::chown(nobodysRuntime.path().c_str(), kNobody, kNobody), 0);
    const auto tool = [&](const char* line, bool asNobody = false) {
        const RunResult r = asNobody ? runTool(nobodysRuntime.path().string(), net.a(), kNobody)
                                     : runTool(runtime.path().string(), net.a());
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const AppSample s = recorderReads(r);
        if (!line) {
            EXPECT_FALSE(s.count("qfclient")) << r.out;
            return;
        }
        ASSERT_TRUE(s.count(line)) << r.out;
        // Both connections; a handshake or a FIN can add a byte to each direction's count.
        EXPECT_GE(s.at(line).in, 2 * (kDown + kAckBytes));
        EXPECT_LE(s.at(line).in, 2 * (kDown + kAckBytes + 2));
        EXPECT_GE(s.at(line).out, 2 * (kUp + kRequestBytes));
        EXPECT_LE(s.at(line).out, 2 * (kUp + kRequestBytes + 2));
    };
    tool("qfclient");
    // An unprivileged user cannot look into root's descriptors: the bytes go to "(system)".
    tool("(system)", true);

    // The one-request dump and the per-family dumps list the same sockets with the same counts.
    ChildOptions compare;
    compare.netns = net.a();
    compare.body = [] {
        using namespace qfnettop;
        const auto keys = [](DumpMethod method) {
            std::vector<std::array<std::uint64_t, 4>> out;
            for (const auto& r : dumpTcpSockets(method).value_or(std::vector<SocketRecord>{}))
                out.push_back({r.cookie, r.inode, r.bytes.in, r.bytes.out});
            std::sort(out.begin(), out.end());
            return out;
        };
        const auto both = keys(DumpMethod::Combined);
        return both == keys(DumpMethod::PerFamily) && both.size() >= 2 ? 0 : 1;
    };
    EXPECT_EQ(run(std::move(compare)).exitCode, 0);

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
    struct stat st {};
    ASSERT_EQ(::lstat(state.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(std::distance(fs::directory_iterator(stateDir), fs::directory_iterator()), 1);

    // With a runtime directory that is named but missing: the cache directory, made private,
    // and the missing one is not made.
    const fs::path missing = dir / "missing";
    ASSERT_EQ(runTool(missing, {}, {}, {"XDG_CACHE_HOME=", "HOME=" + dir.path().string()}).exitCode,
              0);
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_TRUE(fs::is_regular_file(dir / ".cache/quillfern/nettop-state.v1"));
    EXPECT_EQ(fs::status(dir / ".cache/quillfern").permissions() & fs::perms::all,
              fs::perms::owner_all);
}
