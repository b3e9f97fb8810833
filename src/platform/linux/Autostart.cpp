#include "Autostart.h"

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

namespace {

// Exec keys quote arguments with double quotes and escape ", `, $ and \ inside them.
QString quotedExec(const QString& program) {
    QString out;
    for (const QChar c : program) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') {
            out += u'\\';
        }
        out += c;
    }
    return u'"' + out + u'"';
}

} // namespace

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
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Quillfern\n"
                                         "Comment=Network throughput widget\n"
                                         "Exec=%1\n"
                                         "Icon=quillfern\n"
                                         "Terminal=false\n"
                                         "X-GNOME-Autostart-enabled=true\n")
                              .arg(quotedExec(program));
    f.write(entry.toUtf8());
    return f.commit();
}

} // namespace autostart
