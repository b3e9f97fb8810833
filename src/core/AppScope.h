#pragma once

// Which desktop application a process belongs to, read from the systemd unit its desktop
// started it in. Desktops name those units by a documented convention:
//   app[-<launcher>]-<ApplicationID>-<RANDOM>.scope
//   app[-<launcher>]-<ApplicationID>[@<RANDOM>].service
//   app-flatpak-<ApplicationID>-<N>.scope
//   snap.<snap>.<app>-<UUID>.scope
// with characters outside the unit-name alphabet (a dash inside the ID above all) written
// as "\xNN". The ID names the desktop entry the user knows the application by, so one
// browser with twenty processes becomes one row with the browser's name.
//
// Pure: no /proc, no files. Qt-free, so the per-process tool can use it too.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Application IDs one unit name may mean, the likeliest first: with a launcher part there
// are two readings ("app-gnome-foo-1.scope" is "foo" launched by GNOME, or an ID "gnome-foo"
// from a launcher that did not escape its dashes). Empty when the name follows no convention
// or the ID is not a valid desktop-file ID.
std::vector<std::string> appScopeCandidates(std::string_view unitName);

// The application of a process, from the text of /proc/PID/cgroup: the last component of its
// unified-hierarchy path that follows a convention. Between readings of one name, the first
// that `installed` says has a desktop entry wins; without one, the likeliest. None outside
// any application unit.
using AppEntryInstalled = std::function<bool(const std::string& id)>;
std::optional<std::string> appIdFromCgroup(std::string_view procCgroup,
                                           const AppEntryInstalled& installed = {});

// Whether a name can be a desktop-file ID as launchers write them (ASCII letters, digits and
// ". _ - +", not starting with a dot or dash), and so may be looked up as a file name.
bool desktopIdValid(std::string_view id);

// The folders that hold "applications/", most important first: XDG_DATA_HOME (by default
// ~/.local/share), then each of XDG_DATA_DIRS (by default /usr/local/share:/usr/share). A
// relative entry is ignored, as the base-directory rules require; a variable left with no
// usable entry counts as unset.
std::vector<std::string> desktopDataDirs(std::string_view dataHome, std::string_view dataDirs,
                                         std::string_view home);

// Where an entry with this ID may be, relative to an "applications/" folder: the ID itself,
// and the subfolder readings its dashes allow ("kde4-foo" may be "kde4/foo.desktop").
std::vector<std::string> desktopEntryRelativePaths(std::string_view id);
