#pragma once

// Reading desktop entries (the .desktop files behind the application menus): the name a
// user knows an application by, in their language, and its icon. Pure: text in, values out.
// Where entries are looked for is Qt-free, in AppScope.h, for the per-process tool's sake.

#include <QByteArrayView>
#include <QString>
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
