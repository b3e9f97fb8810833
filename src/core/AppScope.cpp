#include "AppScope.h"

#include <algorithm>

namespace {

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Undoes the unit-name escaping; nothing for a broken escape, which no launcher writes.
std::optional<std::string> unescape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        if (i + 3 >= s.size() || s[i + 1] != 'x')
            return std::nullopt;
        const int hi = hexValue(s[i + 2]);
        const int lo = hexValue(s[i + 3]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 3;
    }
    return out;
}

} // namespace

// Anything but the ID alphabet (a slash, a control character, a space) is not an ID but a unit
// name we misread, or one made to look like an application. Deliberately not std::isalnum:
// under the program's UTF-8 locale that would depend on the environment.
bool desktopIdValid(std::string_view id) {
    if (id.empty() || id.size() > 255 || id.front() == '.' || id.front() == '-')
        return false;
    return std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == '-' || c == '+';
    });
}

namespace {

std::vector<std::string_view> splitDashes(std::string_view s) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= s.size(); ++i) {
        if (i == s.size() || s[i] == '-') {
            parts.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}

std::string join(const std::vector<std::string_view>& parts, std::size_t from, std::size_t to) {
    std::string out;
    for (std::size_t i = from; i < to; ++i) {
        if (i > from)
            out += '-';
        out += parts[i];
    }
    return out;
}

void addCandidate(std::vector<std::string>& out, std::string_view escaped) {
    const auto id = unescape(escaped);
    if (id && desktopIdValid(*id) && std::find(out.begin(), out.end(), *id) == out.end())
        out.push_back(*id);
}

bool isUuid(std::string_view s) {
    if (s.size() != 36)
        return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? s[i] != '-' : hexValue(s[i]) < 0)
            return false;
    }
    return true;
}

// "snap.<snap>.<app>-<UUID>" (older snapd: "...<app>.<UUID>"); the desktop entry snapd
// installs for it is "<snap>_<app>.desktop".
std::vector<std::string> snapCandidates(std::string_view body) {
    const auto dot = body.find('.');
    if (dot == std::string_view::npos)
        return {};
    const std::string_view snap = body.substr(0, dot);
    std::string_view app = body.substr(dot + 1);
    if (app.size() > 37 && isUuid(app.substr(app.size() - 36)) &&
        (app[app.size() - 37] == '-' || app[app.size() - 37] == '.')) {
        app.remove_suffix(37);
    } else {
        const auto dash = app.rfind('-');
        if (dash == std::string_view::npos || dash + 1 == app.size())
            return {};
        app = app.substr(0, dash);
    }
    if (snap.empty() || app.empty() || app.find('.') != std::string_view::npos)
        return {};
    std::vector<std::string> out;
    addCandidate(out, std::string(snap) + "_" + std::string(app));
    return out;
}

} // namespace

std::vector<std::string> appScopeCandidates(std::string_view unit) {
    std::string_view body;
    bool scope = false;
    if (endsWith(unit, ".scope")) {
        body = unit.substr(0, unit.size() - 6);
        scope = true;
    } else if (endsWith(unit, ".service")) {
        body = unit.substr(0, unit.size() - 8);
    } else {
        return {};
    }
    if (scope && body.starts_with("snap."))
        return snapCandidates(body.substr(5));
    if (!body.starts_with("app-"))
        return {};
    body.remove_prefix(4);
    if (!scope) {
        // The instance after "@" is the launcher's random part.
        const auto at = body.find('@');
        if (at != std::string_view::npos)
            body = body.substr(0, at);
    }
    auto parts = splitDashes(body);
    if (scope) {
        // A scope always ends in its random part.
        if (parts.size() < 2 || parts.back().empty())
            return {};
        parts.pop_back();
    }
    if (std::any_of(parts.begin(), parts.end(), [](std::string_view p) { return p.empty(); }))
        return {};
    std::vector<std::string> out;
    if (parts.size() >= 2)
        addCandidate(out, join(parts, 1, parts.size()));
    // Flatpak's own launcher always escapes, so its name has no second reading.
    if (parts.size() == 1 || parts.front() != "flatpak")
        addCandidate(out, join(parts, 0, parts.size()));
    return out;
}

std::optional<std::string> appIdFromCgroup(std::string_view text,
                                           const AppEntryInstalled& installed) {
    // The unified hierarchy's line ("0::/path") says where systemd put the process; on a
    // machine still on the legacy hierarchies, systemd's own named one does.
    std::string_view path;
    bool unified = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        auto end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.starts_with("0::")) {
            path = line.substr(3);
            unified = true;
        } else if (!unified) {
            const auto tag = line.find(":name=systemd:");
            if (tag != std::string_view::npos)
                path = line.substr(tag + 14);
        }
    }
    while (!path.empty()) {
        const auto slash = path.rfind('/');
        const std::string_view component =
            slash == std::string_view::npos ? path : path.substr(slash + 1);
        const auto candidates = appScopeCandidates(component);
        if (!candidates.empty()) {
            if (installed) {
                for (const auto& id : candidates)
                    if (installed(id))
                        return id;
            }
            return candidates.front();
        }
        if (slash == std::string_view::npos)
            break;
        path = path.substr(0, slash);
    }
    return std::nullopt;
}

std::vector<std::string> desktopDataDirs(std::string_view dataHome, std::string_view dataDirs,
                                         std::string_view home) {
    std::vector<std::string> dirs;
    const auto add = [&dirs](std::string_view dir) {
        while (dir.size() > 1 && dir.back() == '/')
            dir.remove_suffix(1);
        if (!dir.starts_with('/') || std::find(dirs.begin(), dirs.end(), dir) != dirs.end())
            return false;
        dirs.emplace_back(dir);
        return true;
    };
    if (!add(dataHome) && !home.empty())
        add(std::string(home) + "/.local/share");
    bool any = false;
    for (std::size_t pos = 0; pos <= dataDirs.size();) {
        auto end = dataDirs.find(':', pos);
        if (end == std::string_view::npos)
            end = dataDirs.size();
        const std::string_view dir = dataDirs.substr(pos, end - pos);
        if (dir.starts_with('/')) {
            any = true;
            add(dir);
        }
        pos = end + 1;
    }
    if (!any) {
        add("/usr/local/share");
        add("/usr/share");
    }
    return dirs;
}

std::vector<std::string> desktopEntryRelativePaths(std::string_view id) {
    const std::string base(id);
    std::vector<std::string> paths{base + ".desktop"};
    // Each dash may stand for a folder separator; a few readings are enough in practice.
    for (auto i = base.find('-'); i != std::string::npos && paths.size() < 8;
         i = base.find('-', i + 1)) {
        if (i == 0)
            continue;
        std::string path = base;
        path[i] = '/';
        paths.push_back(path + ".desktop");
    }
    return paths;
}
