// Builds the Debian package from this build tree and reads it back with dpkg-deb.

#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace qftest;

TEST(Package, DebHoldsTheProgramAndComputedDependenciesAndNoScripts) {
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

    const std::string contents = run({"dpkg-deb", "-c", deb}).out;
    for (const char* path : {"./usr/bin/quillfern", "./usr/libexec/quillfern/quillfern-nettop",
                             "./usr/share/applications/quillfern.desktop",
                             "./usr/share/icons/hicolor/scalable/apps/quillfern.svg"})
        EXPECT_NE(contents.find(path), std::string::npos) << path << "\n" << contents;
    // The counting service's unit travels with it when the service is part of the build.
    EXPECT_EQ(contents.find("quillfern-netd.service") != std::string::npos, QUILLFERN_HAS_NETD != 0)
        << contents;

    // Read from the binaries: the Qt libraries they link, with versions.
    const std::string depends = run({"dpkg-deb", "-f", deb, "Depends"}).out;
    for (const char* lib : {"libqt6core6 (>=", "libqt6widgets6 (>=", "libc6 (>="})
        EXPECT_NE(depends.find(lib), std::string::npos) << depends;

    // No maintainer scripts: installing and removing never reaches into anyone's home.
    ASSERT_EQ(run({"dpkg-deb", "-e", deb, dir / "control"}).exitCode, 0);
    for (const char* script : {"preinst", "postinst", "prerm", "postrm"})
        EXPECT_FALSE(fs::exists(dir / "control" / script)) << script;
}
