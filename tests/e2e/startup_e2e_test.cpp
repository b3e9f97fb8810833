// Starting the program as a user meets it: without a usable display, beside a running copy,
// and beside another local user who plants a lock and a socket where a careless program
// would look.

#include "TestSupport.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace qftest;

namespace {

constexpr uid_t kOtherUser = 65534; // nobody

TEST(NoDisplay, OneLineSaysWhatIsMissingAndTheStatusIsOne) {
    Sandbox sandbox; // sets no DISPLAY
    // A display number no server here uses: test X servers take the lowest free ones.
    // Which line each case gets is the command-line suite's; here the real program meets a
    // display that does not answer.
    for (const std::vector<std::string>& env :
         {std::vector<std::string>{"QT_QPA_PLATFORM", "DISPLAY=:5999"},
          {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY=wayland-none"},
          {"QT_QPA_PLATFORM=xcb"}}) {
        SCOPED_TRACE(env.back());
        const RunResult r = sandbox.runProgram({}, env);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find("DISPLAY"), std::string::npos) << r.err;
    }
}

TEST(SecondStart, ShowsHistoryInTheFirstEvenPastAnotherUsersPlantedLock) {
    if (const std::string missing = missingProgram({"Xvfb", "xdotool"}); !missing.empty())
        GTEST_SKIP() << missing << " is not installed";
    if (::geteuid() != 0)
        GTEST_SKIP() << "a second local user needs root to play";
    XServer x;
    ASSERT_TRUE(x.ready()) << x.why();
    Sandbox sandbox;
    sandbox.setDisplay(x.display());
    // The runtime directory is unusable (another user's), so a careless program would fall
    // back to the shared temporary directory, where the other user has been first: Qt's
    // runtime fallback and a lock held by a live process of theirs, which a careless first
    // start would take for a running copy and never show its card.
    const fs::path tmp = sandbox.root() / "tmp";
    fs::create_directories(tmp / "runtime-root");
    ASSERT_EQ(::chmod(tmp.c_str(), 01777), 0);
    for (const fs::path& p : {sandbox.runtimeDir(), tmp / "runtime-root"}) {
        ASSERT_EQ(::chmod(p.c_str(), 0700), 0);
        ASSERT_EQ(::chown(p.c_str(), kOtherUser, kOtherUser), 0);
    }
    Child holder({.argv = {"sleep", "infinity"}, .uid = kOtherUser, .gid = kOtherUser});
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const std::string key = "quillfern-" + std::to_string(::getuid());
    std::ofstream(tmp / (key + ".lock")) << holder.pid() << "\nsleep\n" << host << "\n";

    // The guard still works, in the user's own cache: a second start hands over and ends,
    // and the first shows its history window; hidden and asked for again, the same one.
    auto first = sandbox.launch();
    const auto history = [&](bool hiddenToo) {
        return x.search({hiddenToo ? "--all" : "--onlyvisible", "--all", "--pid",
                         std::to_string(first->pid()), "--name",
                         "^(流量统计|Traffic Statistics)$"});
    };
    ASSERT_TRUE(waitUntil([&] { return !x.windowsOf(first->pid()).empty(); }))
        << "no card appeared\n"
        << sandbox.logs();
    for (const char* again : {"second", "third"}) {
        SCOPED_TRACE(again);
        EXPECT_EQ(exitCode(sandbox.launch(again)->waitExit().value_or(-1)), 0) << sandbox.logs();
        std::vector<std::string> shown;
        ASSERT_TRUE(waitUntil([&] { return !(shown = history(false)).empty(); }));
        EXPECT_EQ(history(true), shown);
        x.xdo({"windowfocus", "--sync", shown.front()});
        x.xdo({"key", "Escape"});
        ASSERT_TRUE(waitUntil([&] { return history(false).empty(); })) << "Esc did not hide it";
    }
}

} // namespace
