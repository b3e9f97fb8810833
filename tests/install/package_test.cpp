// Builds the Debian package from this build tree and reads it back with dpkg-deb.

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

bool onPath(const std::string& tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

std::string run(const std::string& cmd) {
    std::string out;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
        std::array<char, 4096> buf{};
        while (std::size_t n = std::fread(buf.data(), 1, buf.size(), p)) {
            out.append(buf.data(), n);
        }
        ::pclose(p);
    }
    return out;
}

} // namespace

TEST(Package, DebHoldsTheProgramAndComputedDependenciesAndNoScripts) {
    for (const char* tool : {"dpkg-deb", "dpkg-shlibdeps"}) {
        if (!onPath(tool)) {
            GTEST_SKIP() << tool << " is not installed (package dpkg-dev)";
        }
    }
    std::string tmpl = (fs::temp_directory_path() / "qf-package-XXXXXX").string();
    const fs::path dir = ::mkdtemp(tmpl.data());
    const std::string cpack = std::string("cd ") + QUILLFERN_BINARY_DIR + " && " +
                              QUILLFERN_CPACK_COMMAND + " -G DEB -B " + dir.string() + " >" +
                              (dir / "cpack.log").string() + " 2>&1";
    ASSERT_EQ(std::system(cpack.c_str()), 0) << cpack;

    fs::path deb;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.path().extension() == ".deb") {
            deb = e.path();
        }
    }
    ASSERT_FALSE(deb.empty());
    EXPECT_EQ(deb.filename().string().rfind("quillfern_", 0), 0u) << deb;

    const std::string contents = run("dpkg-deb -c " + deb.string());
    for (const char* path : {"./usr/bin/quillfern", "./usr/libexec/quillfern/quillfern-nettop",
                             "./usr/share/applications/quillfern.desktop",
                             "./usr/share/icons/hicolor/scalable/apps/quillfern.svg"}) {
        EXPECT_NE(contents.find(path), std::string::npos) << path << "\n" << contents;
    }
    // The counting service's unit travels with it when the service is part of the build.
    EXPECT_EQ(contents.find("quillfern-netd.service") != std::string::npos, QUILLFERN_HAS_NETD != 0)
        << contents;

    EXPECT_EQ(run("dpkg-deb -f " + deb.string() + " Package"), "quillfern\n");
    // Read from the binaries: the Qt libraries they link, with versions.
    const std::string depends = run("dpkg-deb -f " + deb.string() + " Depends");
    for (const char* lib : {"libqt6core6 (>=", "libqt6widgets6 (>=", "libc6 (>="}) {
        EXPECT_NE(depends.find(lib), std::string::npos) << depends;
    }

    // No maintainer scripts: installing and removing never reaches into anyone's home.
    const fs::path control = dir / "control";
    ASSERT_EQ(std::system(("dpkg-deb -e " + deb.string() + " " + control.string()).c_str()), 0);
    for (const char* script : {"preinst", "postinst", "prerm", "postrm"}) {
        EXPECT_FALSE(fs::exists(control / script)) << script;
    }
    fs::remove_all(dir);
}
