#include "Sandbox.h"

#include <cstdlib>

namespace qftest {

Sandbox::Sandbox() {
    for (const char* d : {"home", "config", "data", "cache", "runtime", "tmp"})
        fs::create_directories(root() / d);
    fs::permissions(runtimeDir(), fs::perms::owner_all, fs::perm_options::replace);
}

std::vector<std::string> Sandbox::env() const {
    std::vector<std::string> env = {"PATH=/usr/local/bin:/usr/bin:/bin", "LANG=C.UTF-8",
                                    "QT_QPA_PLATFORM=xcb"};
    for (const auto& [name, dir] : {std::pair{"HOME", "home"},
                                    {"XDG_CONFIG_HOME", "config"},
                                    {"XDG_DATA_HOME", "data"},
                                    {"XDG_CACHE_HOME", "cache"},
                                    {"XDG_RUNTIME_DIR", "runtime"},
                                    {"TMPDIR", "tmp"}})
        env.push_back(std::string(name) + "=" + (root() / dir).string());
    if (!m_display.empty())
        env.push_back("DISPLAY=" + m_display);
    // The day key is the local date, so program and test must agree on "local"; the
    // sanitizers' settings follow the program.
    for (const char* keep : {"TZ", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
        if (const char* v = std::getenv(keep))
            env.push_back(std::string(keep) + "=" + v);
    // Without a session bus of its own, a program on an X display would have libdbus
    // autolaunch one that outlives the test: point it at a bus that is not there instead.
    if (!m_bus)
        env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + (root() / "no-session-bus").string());
    env.insert(env.end(), m_extraEnv.begin(), m_extraEnv.end());
    return env;
}

std::unique_ptr<Child> Sandbox::start(std::vector<std::string> argv, const std::string& logName,
                                      const std::string& netns, int extraFd) {
    return std::make_unique<Child>(ChildOptions{.argv = std::move(argv),
                                                .env = env(),
                                                .clearEnv = true,
                                                .netns = netns,
                                                .extraFd = extraFd,
                                                .logFile = log(logName)});
}

RunResult Sandbox::runProgram(const std::vector<std::string>& args,
                              const std::vector<std::string>& extraEnv) const {
    ChildOptions o{.argv = {programPath().string()}, .env = env(), .clearEnv = true};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.env.insert(o.env.end(), extraEnv.begin(), extraEnv.end());
    return run(std::move(o));
}

bool Sandbox::startSessionBus() {
    if (findProgram("dbus-daemon").empty())
        return false;
    // Its socket inside the sandbox, which goes when the sandbox does.
    m_bus = start({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=3",
                   "--address=unix:dir=" + root().string()},
                  "dbus", {}, 3);
    const auto address = m_bus->readLine(60s, Child::Stream::Extra);
    if (!address || address->empty()) {
        m_bus.reset();
        return false;
    }
    addEnv("DBUS_SESSION_BUS_ADDRESS=" + *address);
    return true;
}

std::string Sandbox::logs() const {
    std::string out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(root(), ec))
        if (e.path().extension() == ".log")
            out += "---- " + e.path().filename().string() + " ----\n" + tail(e.path()) + "\n";
    return out;
}

} // namespace qftest
