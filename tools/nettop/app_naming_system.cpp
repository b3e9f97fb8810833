#include "app_naming_system.h"

#include "AppScope.h"
#include "nettop_core.h"
#include "nettop_system.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qfnettop {

namespace {

// The whole of a small /proc file; nothing when it cannot be read or exceeds the cap.
std::optional<std::string> readProcFile(const std::string& path, std::size_t cap) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string out;
    char buf[1024];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || out.size() + static_cast<std::size_t>(n) > cap) {
            ::close(fd);
            return n == 0 ? std::optional<std::string>(std::move(out)) : std::nullopt;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
}

std::string_view env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string_view(v) : std::string_view();
}

} // namespace

AppNamer::AppNamer(std::vector<std::string> dataDirs) : m_dirs(std::move(dataDirs)) {}

AppNamer AppNamer::fromEnvironment() {
    return AppNamer(desktopDataDirs(env("XDG_DATA_HOME"), env("XDG_DATA_DIRS"), env("HOME")));
}

bool AppNamer::installed(const std::string& id) {
    const auto [it, fresh] = m_installed.try_emplace(id, false);
    if (!fresh)
        return it->second;
    for (const std::string& dir : m_dirs) {
        for (const std::string& rel : desktopEntryRelativePaths(id)) {
            struct stat st {};
            const std::string path = dir + "/applications/" + rel;
            if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                return it->second = true;
        }
    }
    return false;
}

const std::optional<std::string>& AppNamer::appIdFromText(const std::string& text) {
    const auto found = m_byText.find(text);
    if (found != m_byText.end())
        return found->second;
    auto id = appIdFromCgroup(text, [this](const std::string& c) { return installed(c); });
    return m_byText.emplace(text, std::move(id)).first->second;
}

std::optional<std::string> AppNamer::appId(std::uint32_t pid) {
    const auto text = readProcFile("/proc/" + std::to_string(pid) + "/cgroup", 16384);
    if (!text)
        return std::nullopt;
    return appIdFromText(*text);
}

std::string AppNamer::name(std::uint32_t pid, const std::string& processName) {
    return appId(pid).value_or(processName);
}

std::string AppNamer::serviceName(std::uint32_t pid, const std::string& seen) {
    const auto comm = processName(pid);
    if (!comm || sanitizeName(*comm) != seen)
        return seen;
    return appId(pid).value_or(seen);
}

} // namespace qfnettop
