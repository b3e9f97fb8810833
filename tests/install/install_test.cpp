// Installs the build into a temporary prefix and starts the installed program from there:
// it must find its per-process tool in the installed layout, not only in the build tree.

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

bool onPath(const std::string& tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct TempDir {
    fs::path path;
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "qf-install-XXXXXX").string();
        path = ::mkdtemp(tmpl.data());
    }
    ~TempDir() { fs::remove_all(path); }
};

TEST(Install, LaysOutTheProgramToolDesktopEntryAndIcon) {
    TempDir prefix;
    const std::string cmd = std::string(QUILLFERN_CMAKE_COMMAND) + " --install " +
                            QUILLFERN_BINARY_DIR + " --prefix " + prefix.path.string() +
                            " >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;

    const fs::path bin = prefix.path / "bin/quillfern";
    const fs::path tool = prefix.path / "libexec/quillfern/quillfern-nettop";
    EXPECT_EQ(::access(bin.c_str(), X_OK), 0);
    EXPECT_EQ(::access(tool.c_str(), X_OK), 0);
    const std::string desktop = slurp(prefix.path / "share/applications/quillfern.desktop");
    EXPECT_NE(desktop.find("Exec=quillfern"), std::string::npos);
    EXPECT_NE(desktop.find("Icon=quillfern"), std::string::npos);
    const std::string icon = slurp(prefix.path / "share/icons/hicolor/scalable/apps/quillfern.svg");
    EXPECT_NE(icon.find("<svg"), std::string::npos);

    // The installed tool answers the recorder's exact invocation with its header line.
    const fs::path out = prefix.path / "tool.out";
    const std::string run = "XDG_RUNTIME_DIR=" + prefix.path.string() + " " + tool.string() +
                            " -P -x -L 1 -s 1 >" + out.string() + " 2>/dev/null";
    ASSERT_EQ(std::system(run.c_str()), 0);
    EXPECT_EQ(slurp(out).rfind("time,,interface,state,bytes_in,bytes_out,", 0), 0u);
}

TEST(Install, InstalledProgramRunsTheInstalledTool) {
    if (!onPath("Xvfb")) {
        GTEST_SKIP() << "Xvfb is not installed; this test starts the installed program";
    }
    TempDir prefix;
    ASSERT_EQ(
        std::system((std::string(QUILLFERN_CMAKE_COMMAND) + " --install " + QUILLFERN_BINARY_DIR +
                     " --prefix " + prefix.path.string() + " >/dev/null")
                        .c_str()),
        0);
    // Hide the build tree's tool from the installed program by moving it aside for the
    // duration: what runs must be the installed copy.
    const fs::path buildTool = fs::path(QUILLFERN_BINARY_DIR) / "tools/nettop/quillfern-nettop";
    const fs::path hidden = buildTool.string() + ".hidden-by-install-test";
    std::error_code ec;
    fs::rename(buildTool, hidden, ec);
    ASSERT_FALSE(ec) << ec.message();
    struct Restore {
        fs::path from, to;
        ~Restore() { fs::rename(from, to); }
    } restore{hidden, buildTool};

    for (const char* d : {"home", "data", "config", "cache", "run"}) {
        fs::create_directories(prefix.path / d);
    }
    fs::permissions(prefix.path / "run", fs::perms::owner_all);
    const std::string display = ":" + std::to_string(90 + ::getpid() % 500);

    const pid_t xvfb = fork();
    if (xvfb == 0) {
        ::freopen("/dev/null", "w", stderr);
        ::execlp("Xvfb", "Xvfb", display.c_str(), "-screen", "0", "1440x900x24", "-nolisten", "tcp",
                 static_cast<char*>(nullptr));
        _exit(127);
    }
    std::this_thread::sleep_for(700ms);
    const pid_t app = fork();
    if (app == 0) {
        const fs::path& p = prefix.path;
        ::setenv("DISPLAY", display.c_str(), 1);
        ::setenv("HOME", (p / "home").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (p / "data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (p / "config").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (p / "cache").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", (p / "run").c_str(), 1);
        ::unsetenv("QT_QPA_PLATFORM");
        ::freopen("/dev/null", "w", stderr);
        const std::string program = (p / "bin/quillfern").string();
        ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // The recorder samples once at start-up; the tool leaves its state file behind.
    const fs::path state = prefix.path / "run/quillfern/nettop-state.v1";
    bool ran = false;
    for (int i = 0; i < 100 && !ran; ++i) {
        std::this_thread::sleep_for(100ms);
        ran = fs::exists(state);
    }
    ::kill(app, SIGTERM);
    int status = 0;
    ::waitpid(app, &status, 0);
    ::kill(xvfb, SIGTERM);
    ::waitpid(xvfb, nullptr, 0);

    EXPECT_TRUE(ran) << "the installed program never ran the installed tool";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The installed program exports what the run saved: today, on the way out.
    const fs::path exported = prefix.path / "export.json";
    ASSERT_EQ(std::system(("XDG_DATA_HOME=" + (prefix.path / "data").string() + " " +
                           (prefix.path / "bin/quillfern").string() + " --export-json " +
                           exported.string())
                              .c_str()),
              0);
    char today[16];
    const std::time_t now = std::time(nullptr);
    std::strftime(today, sizeof today, "%Y-%m-%d", std::localtime(&now));
    EXPECT_NE(slurp(exported).find(today), std::string::npos)
        << "SIGTERM must end through the normal quit path, which saves";
}

} // namespace
