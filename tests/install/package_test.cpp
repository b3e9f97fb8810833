// Builds the Debian package from this build tree, reads it back with dpkg-deb, and starts the
// program it unpacks to: that must find its per-process tool in the installed layout, not
// only in the build tree.

#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace qftest;

TEST(Package, DebHoldsAProgramThatRunsItsOwnToolComputedDependenciesAndNoScripts) {
    // cpack reads the binaries' libraries with file(1) and dpkg-shlibdeps.
    if (const std::string tool = missingProgram({"dpkg-deb", "dpkg-shlibdeps", "file"});
        !tool.empty())
        GTEST_SKIP() << tool << " is not installed (scripts/test installs it)";
    TempDir dir;
    const RunResult cpack = run({"sh", "-c",
                                 "cd " + buildDir().string() + " && " + QUILLFERN_CPACK_COMMAND +
                                     " -G DEB -B " + dir.path().string() + " 2>&1"},
                                std::chrono::minutes(9));
    ASSERT_EQ(cpack.exitCode, 0) << cpack.out;
    fs::path deb;
    for (const auto& e : fs::directory_iterator(dir.path()))
        if (e.path().extension() == ".deb")
            deb = e.path();
    ASSERT_FALSE(deb.empty());
    ASSERT_EQ(run({"dpkg-deb", "-x", deb, dir / "root"}).exitCode, 0);
    const fs::path usr = dir / "root/usr";

    // Read from the binaries: the Qt libraries they link, with versions.
    const std::string depends = run({"dpkg-deb", "-f", deb, "Depends"}).out;
    for (const char* lib : {"libqt6core6 (>=", "libqt6widgets6 (>=", "libc6 (>="})
        EXPECT_NE(depends.find(lib), std::string::npos) << depends;
    // No maintainer scripts: installing and removing never reaches into anyone's home.
    ASSERT_EQ(run({"dpkg-deb", "-e", deb, dir / "control"}).exitCode, 0);
    for (const char* script : {"preinst", "postinst", "prerm", "postrm"})
        EXPECT_FALSE(fs::exists(dir / "control" / script)) << script;

    XServer x;
    if (!x.ready())
        GTEST_SKIP() << x.why();
    // Hide the build tree's tool for the duration: what runs must be the unpacked copy.
    const fs::path hidden = toolPath().string() + ".hidden-by-package-test";
    fs::rename(toolPath(), hidden);
    struct Restore {
        fs::path from, to;
        ~Restore() { fs::rename(from, to); }
    } restore{hidden, toolPath()};
    Sandbox box;
    box.setDisplay(x.display());
    auto program = box.start({(usr / "bin/quillfern").string()}, "program");
    // The recorder samples once at start-up, and the tool leaves its state file behind.
    EXPECT_TRUE(
        waitUntil([&] { return fs::exists(box.runtimeDir() / "quillfern/nettop-state.v1"); }, 60s))
        << "the unpacked program never ran the unpacked tool\n"
        << box.logs();
}
