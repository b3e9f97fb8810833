#pragma once

// Desktop entries by application ID, for the views: the name a user knows an application by,
// in the interface's language, and its icon. Each ID is looked up once in the XDG data folders
// and kept, found or not, so views ask when their rows change and never while painting.

#include "DesktopEntry.h"

#include <QHash>
#include <QIcon>
#include <QString>
#include <QStringList>
#include <optional>

class AppEntries {
public:
    // dataDirs: the folders whose "applications/" hold entries, most important first;
    // locale: a POSIX locale name choosing among the entries' translated names.
    AppEntries(QStringList dataDirs, QString locale);

    // One per locale, over the folders this process's environment names.
    static AppEntries& shared(const QString& locale);

    // The entry of an application; none for a name that is no installed application's ID
    // (such as a process name).
    std::optional<DesktopEntry> entry(const QString& id);
    // The entry's name, else the ID itself.
    QString displayName(const QString& id);
    // The entry's icon at 16 px, already drawn, from the icon theme or the entry's own path;
    // null without an entry or an icon. Needs the GUI application.
    QIcon icon(const QString& id);

private:
    QStringList m_dirs;
    QString m_locale;
    QHash<QString, std::optional<DesktopEntry>> m_entries;
    QHash<QString, QIcon> m_icons;
};
