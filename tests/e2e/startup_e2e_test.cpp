// Starting the program as a user meets it: without a usable display, and beside another
// local user who plants a lock and a socket where a careless program would look.

#include "TestSupport.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace qftest;

namespace {

constexpr uid_t kOtherUser = 65534; // nobody

TEST(NoDisplay, OneLineSaysWhatIsMissingAndTheStatusIsOne) {
    Sandbox sandbox; // sets no DISPLAY
    // A display number no server here uses: test X servers take the lowest free ones.
    const std::vector<std::vector<std::string>> cases = {
        {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY"},
        {"QT_QPA_PLATFORM", "DISPLAY=:5999"},
        {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY=wayland-none"},
        {"QT_QPA_PLATFORM=xcb"},
    };
    for (const auto& env : cases) {
        const RunResult r = sandbox.runProgram({}, env);
        EXPECT_EQ(r.exitCode, 1) << env.back() << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << env.back() << ": " << r.err;
        EXPECT_NE(r.err.find("DISPLAY"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Reinstalling"), std::string::npos) << "Qt's abort: " << r.err;
    }
    // Printing the usage needs no display at all (--version is the report suite's).
    const RunResult help = sandbox.runProgram({"--help"}, {"QT_QPA_PLATFORM"});
    EXPECT_EQ(help.exitCode, 0) << help.err;
    EXPECT_EQ(help.out.rfind("usage: quillfern", 0), 0u) << help.out;
}

class Widget : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string missing = missingProgram({"Xvfb", "xdotool"}); !missing.empty()) {
            GTEST_SKIP() << missing << " is not installed";
        }
        ASSERT_TRUE(m_x.ready()) << m_x.why();
        m_sandbox.setDisplay(m_x.display());
    }

    // Launches the program and waits for its card to be on the screen.
    std::unique_ptr<Child> launchShown() {
        auto program = m_sandbox.launch();
        const Xdo xdo(m_x.display());
        const bool shown = waitUntil(
            [&] { return !program->running() || !xdo.windowsOf(program->pid()).empty(); });
        EXPECT_TRUE(shown && program->running()) << "no card appeared\n" << m_sandbox.logs();
        return program;
    }

    XServer m_x;
    Sandbox m_sandbox;
};

TEST_F(Widget, AnotherUsersPlantedLockAndSocketCannotStopIt) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "a second local user needs root to play";
    }
    // The runtime directory is unusable (another user's), so a careless program would fall
    // back to the shared temporary directory, where the other user has been first: Qt's
    // runtime fallback, a lock held by a live process of theirs, and a socket symlinked to
    // their own listener.
    const fs::path tmp = m_sandbox.root() / "tmp";
    const fs::path otherRuntime = m_sandbox.root() / "runtime-other";
    fs::create_directories(otherRuntime);
    fs::create_directories(tmp / "runtime-root");
    ASSERT_EQ(::chmod(tmp.c_str(), 01777), 0);
    for (const fs::path& p : {otherRuntime, tmp / "runtime-root"}) {
        ASSERT_EQ(::chmod(p.c_str(), 0700), 0);
        ASSERT_EQ(::chown(p.c_str(), kOtherUser, kOtherUser), 0);
    }
    ChildOptions squatter;
    squatter.argv = {"sleep", "infinity"};
    squatter.uid = kOtherUser;
    squatter.gid = kOtherUser;
    Child holder(std::move(squatter));
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const std::string key = "quillfern-" + std::to_string(::getuid());
    std::ofstream(tmp / (key + ".lock")) << holder.pid() << "\nsleep\n" << host << "\n";
    // Their listener, which must never see a connection.
    const int theirs = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un addr{AF_UNIX, {}};
    std::strncpy(addr.sun_path, (tmp / "theirs.sock").c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(theirs, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(theirs, 8), 0);
    fs::create_symlink(tmp / "theirs.sock", tmp / (key + ".sock"));
    m_sandbox.addEnv("XDG_RUNTIME_DIR=" + otherRuntime.string());

    auto first = launchShown();
    ASSERT_TRUE(first->running()) << m_sandbox.logs();
    // The guard still works, in the user's own cache: a second start hands over and ends.
    auto second = m_sandbox.launch("second");
    EXPECT_EQ(exitCode(second->waitExit().value_or(-1)), 0) << m_sandbox.logs();
    EXPECT_TRUE(first->running());
    EXPECT_LT(::accept(theirs, nullptr, nullptr), 0) << "a message went to the other user";
    ::close(theirs);
}

TEST_F(Widget, WithoutAPrivatePlaceItRunsUnguardedAndSaysSoOnce) {
    // The runtime directory is open to others and the cache's place is a planted symlink.
    ASSERT_EQ(::chmod(m_sandbox.runtimeDir().c_str(), 0755), 0);
    fs::create_directories(m_sandbox.root() / "elsewhere");
    fs::create_directory_symlink(m_sandbox.root() / "elsewhere",
                                 m_sandbox.root() / "cache/quillfern");

    auto program = launchShown();
    ASSERT_TRUE(program->running()) << m_sandbox.logs();
    const std::string log = slurp(m_sandbox.log("program"));
    const auto said = log.find("running without it");
    EXPECT_TRUE(said != std::string::npos &&
                log.find("running without it", said + 1) == std::string::npos)
        << log;
    EXPECT_TRUE(fs::is_empty(m_sandbox.root() / "elsewhere"));

    program->signal(SIGTERM);
    EXPECT_EQ(describeStatus(program->waitExit().value_or(-1)), "exited with 0");
}

} // namespace
