// A process in a desktop application's unit, in a cgroup of the test's own, is counted under the
// application's ID; desktop entries on XDG_DATA_DIRS decide between a unit name's readings.

#include "NettopTestSupport.h"
#include "app_naming_system.h"

#include <fstream>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

using namespace qftest;

namespace {

// An application scope inside a parent of ours under the v2 tree; both go once empty.
struct ScopeCgroup {
    fs::path parent, scope;
    explicit ScopeCgroup(const std::string& unit) {
        for (const char* d : {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"}) {
            struct statfs s {};
            if (::geteuid() == 0 && ::statfs(d, &s) == 0 && s.f_type == CGROUP2_SUPER_MAGIC &&
                fs::create_directory(fs::path(d) / ("qf-apps-" + std::to_string(::getpid())))) {
                parent = fs::path(d) / ("qf-apps-" + std::to_string(::getpid()));
                scope = fs::create_directory(parent / unit) ? parent / unit : fs::path();
                return;
            }
        }
    }
    ~ScopeCgroup() {
        waitUntil([&] {
            return scope.empty() ||
                   slurp(scope / "cgroup.events").find("populated 0") != std::string::npos;
        });
        ::rmdir(scope.c_str());
        ::rmdir(parent.c_str());
    }
};

} // namespace

TEST(NettopApps, NamesAProcessByItsDesktopApplication) {
    ScopeCgroup cg("app-gnome-org.example.Fetcher-4242.scope");
    if (cg.scope.empty())
        GTEST_SKIP() << "needs root and a cgroup v2 hierarchy";
    NetnsPair net;
    if (!net.ready())
        GTEST_SKIP() << net.why();
    TrafficServer server(net.b(), NetnsPair::kAddrB);
    ASSERT_TRUE(server.ready()) << server.why();

    TempDir data;
    fs::create_directories(data / "applications");
    std::ofstream(data / "applications/org.example.Fetcher.desktop")
        << "[Desktop Entry]\nType=Application\nName=Example Fetcher\n";

    constexpr std::uint64_t kUp = 1000000, kDown = 4000000;
    TrafficClient client(net.a(), "fetcher-bin", {{NetnsPair::kAddrB, server.port()}}, kUp, kDown);
    ASSERT_TRUE(client.connected());
    std::ofstream(cg.scope / "cgroup.procs") << client.pid() << std::flush;
    ASSERT_TRUE(client.go());

    TempDir runtime;
    const RunResult r = runTool(
        runtime.path().string(), net.a(), std::nullopt,
        {"XDG_DATA_DIRS=" + data.path().string(), "XDG_DATA_HOME=" + (data / "home").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const AppSample s = recorderReads(r);
    EXPECT_FALSE(s.count("fetcher-bin")) << r.out;
    ASSERT_TRUE(s.count("org.example.Fetcher")) << r.out;
    EXPECT_GE(s.at("org.example.Fetcher").in, kDown * 95 / 100);
    EXPECT_GE(s.at("org.example.Fetcher").out, kUp * 95 / 100);
    EXPECT_EQ(client.finish(), 0);

    // Of an unescaped name's readings ("fetcher" the likelier), the one with an entry here wins.
    std::ofstream(data / "applications/org.example-fetcher.desktop") << "[Desktop Entry]\n";
    qfnettop::AppNamer apps({data.path().string()});
    EXPECT_EQ(apps.appIdFromText("0::/app-org.example-fetcher-1.scope\n"), "org.example-fetcher");
}
