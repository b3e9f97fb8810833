#pragma once

// Reading desktop entries (the .desktop files behind the application menus): the name a
// user knows an application by, in their language, and its icon. Pure: text in, values out.

#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <optional>

struct DesktopEntry {
    QString name; // localised where the entry has the language
    QString icon; // a theme icon name or an absolute path; may be empty
};

// The [Desktop Entry] group's Name and Icon, with Name[...] chosen for `locale` (a POSIX
// locale name such as "zh_CN.UTF-8" or "de_DE@euro") by the usual fallbacks: lang_COUNTRY@MOD,
// lang_COUNTRY, lang@MOD, lang, then the plain key. None for text that is not an entry of
// type Application with a name.
std::optional<DesktopEntry> desktopEntryParse(QByteArrayView text, const QString& locale);

// The folders that hold "applications/", most important first: XDG_DATA_HOME (default
// ~/.local/share), then each of XDG_DATA_DIRS (default /usr/local/share:/usr/share).
// Relative entries are ignored, as the base-directory rules require.
QStringList desktopDataDirs(const QString& dataHome, const QString& dataDirs, const QString& home);

// Where an entry with this ID may be, relative to an "applications/" folder: the ID itself,
// and the subfolder readings its dashes allow ("kde4-foo" may be "kde4/foo.desktop").
QStringList desktopEntryRelativePaths(const QString& id);
