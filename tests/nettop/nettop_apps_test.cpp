// A process in a desktop application's unit, in a cgroup of the test's own: the tool names it by
// the application, with the desktop entry deciding between the unit name's readings.

#include "AppEntries.h"
#include "NettopTestSupport.h"
#include "Report.h"

#include <fstream>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

using namespace qftest;

namespace {

// A parent cgroup of ours with an application scope inside; both go once empty.
struct ScopeCgroup {
    fs::path parent, scope;
    ~ScopeCgroup() {
        if (scope.empty())
            return;
        waitUntil([&] {
            return slurp(scope / "cgroup.events").find("populated 0") != std::string::npos;
        });
        ::rmdir(scope.c_str());
        ::rmdir(parent.c_str());
    }
};

std::string cgroup2Root() {
    for (const char* d : {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"}) {
        struct statfs s {};
        if (::statfs(d, &s) == 0 && s.f_type == CGROUP2_SUPER_MAGIC)
            return d;
    }
    return {};
}

} // namespace

TEST(NettopApps, NamesAProcessByItsDesktopApplication) {
    const std::string root = cgroup2Root();
    if (::geteuid() != 0 || root.empty())
        GTEST_SKIP() << (root.empty() ? "no cgroup v2 hierarchy mounted"
                                      : "needs root for cgroups");
    NetnsPair net;
    if (!net.ready())
        GTEST_SKIP() << net.why();
    TrafficServer server(net.b(), NetnsPair::kAddrB);
    ASSERT_TRUE(server.ready()) << server.why();

    ScopeCgroup cg;
    const fs::path parent = fs::path(root) / ("qf-apps-test-" + std::to_string(::getpid()));
    ASSERT_TRUE(fs::create_directory(parent));
    cg.parent = parent;
    ASSERT_TRUE(fs::create_directory(parent / "app-gnome-org.example.Fetcher-4242.scope"));
    cg.scope = parent / "app-gnome-org.example.Fetcher-4242.scope";
    TempDir data;
    fs::create_directories(data / "applications");
    std::ofstream(data / "applications/org.example.Fetcher.desktop")
        << "[Desktop Entry]\nType=Application\nName=Example Fetcher\nName[zh_CN]=示例下载器\n";

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

    // The report names it as the menus do, in the interface's language.
    for (const auto& [locale, name] :
         {std::pair{"en", "Example Fetcher"}, {"zh_CN", "示例下载器"}}) {
        AppEntries entries({QString::fromStdString(data.path().string())}, locale);
        ReportData d;
        d.withApps = true;
        d.apps.push_back({entries.displayName("org.example.Fetcher"), {}});
        EXPECT_TRUE(reportText(d).contains(QString::fromUtf8(name))) << reportText(d).toStdString();
    }
}
