#include "Autostart.h"

#include "AutostartText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace autostart {

QString entryPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/quillfern.desktop");
}

bool isEnabled() {
    QFile f(entryPath());
    if (!f.open(QIODevice::ReadOnly)) {
        return false;
    }
    // A desktop may switch an entry off by adding Hidden=true rather than deleting it.
    const QByteArray text = f.readAll();
    for (const QByteArray& line : text.split('\n')) {
        if (line.trimmed().replace(' ', "") == "Hidden=true") {
            return false;
        }
    }
    return true;
}

bool setEnabled(bool enabled, const QString& program) {
    const QString path = entryPath();
    if (!enabled) {
        return !QFileInfo::exists(path) || QFile::remove(path);
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        return false;
    }
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly)) {
        return false;
    }
    f.write(desktopEntryText(program).toUtf8());
    return f.commit();
}

} // namespace autostart
