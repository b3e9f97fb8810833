#pragma once

// Processes named by the desktop application they belong to: the application ID from the
// systemd unit their desktop started them in, read from /proc/<pid>/cgroup, and between
// ambiguous readings of a unit name the one with a desktop entry on this machine.

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace qfnettop {

class AppNamer {
public:
    // dataDirs: the folders whose "applications/" hold desktop entries, most important first.
    explicit AppNamer(std::vector<std::string> dataDirs);
    // With the folders this process's XDG_DATA_HOME, XDG_DATA_DIRS and HOME name.
    static AppNamer fromEnvironment();

    // The application of a running process; nothing outside any application unit, or when the
    // process is gone.
    std::optional<std::string> appId(std::uint32_t pid);
    // The same from the text of its /proc/<pid>/cgroup. Processes of one application share
    // that text, so each distinct text is worked out once per namer.
    const std::optional<std::string>& appIdFromText(const std::string& cgroupText);

    // What a process is called on its line: its application, else `processName`.
    std::string name(std::uint32_t pid, const std::string& processName);
    // For a line the counting service gave: a process that has ended keeps the name the service
    // saw, and a live pid whose name differs from it may be a new process; only where both
    // agree is the application read here.
    std::string serviceName(std::uint32_t pid, const std::string& seen);

private:
    bool installed(const std::string& id);

    std::vector<std::string> m_dirs;
    std::unordered_map<std::string, std::optional<std::string>> m_byText;
    std::unordered_map<std::string, bool> m_installed;
};

} // namespace qfnettop
