#pragma once

// The program's sandbox: private HOME and XDG directories under a temporary directory, the
// environment the program runs with, and the paths of its files.

#include "Process.h"

namespace qftest {

// Start the program, a window manager or anything else with start(); startSessionBus() gives
// all later starts one private D-Bus session.
class Sandbox {
public:
    Sandbox();
    const fs::path& root() const { return m_tmp.path(); }
    fs::path configFile() const { return root() / "config/Quillfern/Quillfern.conf"; }
    // The whole history as the program exports it (JSON), or empty when the export failed.
    fs::path exportHistory() const {
        const fs::path out = root() / "export.json";
        return runProgram({"--export-json", out.string()}).exitCode == 0 ? out : fs::path();
    }
    fs::path runtimeDir() const { return root() / "runtime"; }
    fs::path log(const std::string& name) const { return root() / (name + ".log"); }

    void setDisplay(const std::string& display) { m_display = display; }
    // Runs started after this see these extra "NAME=value" entries.
    void addEnv(const std::string& entry) { m_extraEnv.push_back(entry); }
    std::vector<std::string> env() const;

    // Starts argv with the sandbox's environment, output to <logName>.log (and the write end
    // of a pipe as extraFd, read as Child::Stream::Extra).
    std::unique_ptr<Child> start(std::vector<std::string> argv, const std::string& logName,
                                 const std::string& netns = {}, int extraFd = -1);
    // The program itself.
    std::unique_ptr<Child> launch(const std::string& logName = "program",
                                  const std::string& netns = {}) {
        return start({programPath().string()}, logName, netns);
    }
    // Runs the program to completion with these arguments and extra environment entries.
    RunResult runProgram(const std::vector<std::string>& args,
                         const std::vector<std::string>& extraEnv = {}) const;
    // A private session bus (dbus-daemon --session); false when dbus-daemon is missing.
    bool startSessionBus();

    // Every log of this sandbox's children, for a failed test's output.
    std::string logs() const;

private:
    TempDir m_tmp;
    std::string m_display;
    std::vector<std::string> m_extraEnv;
    std::unique_ptr<Child> m_bus;
};

} // namespace qftest
