#include "Autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

// A per-user launch agent; login items proper need the ServiceManagement framework.
namespace autostart {

QString entryPath() {
    return QDir::homePath() + QStringLiteral("/Library/LaunchAgents/org.quillfern.plist");
}

bool isEnabled() { return QFileInfo::exists(entryPath()); }

bool setEnabled(bool enabled, const QString& program) {
    const QString path = entryPath();
    if (!enabled) {
        return !QFileInfo::exists(path) || QFile::remove(path);
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly)) {
        return false;
    }
    QString escaped = program.toHtmlEscaped();
    f.write(QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                           "<plist version=\"1.0\"><dict>\n"
                           "<key>Label</key><string>org.quillfern</string>\n"
                           "<key>ProgramArguments</key><array><string>%1</string></array>\n"
                           "<key>RunAtLoad</key><true/>\n"
                           "</dict></plist>\n")
                .arg(escaped)
                .toUtf8());
    return f.commit();
}

} // namespace autostart
