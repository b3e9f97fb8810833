#include "Autostart.h"

#include "AutostartText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

// A per-user launch agent; login items proper need the ServiceManagement framework.
namespace autostart {

QString entryPath() {
    return QDir::homePath() + QStringLiteral("/Library/LaunchAgents/org.quillfern.plist");
}

bool isEnabled() {
    return QFileInfo::exists(entryPath());
}

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
    f.write(launchAgentText(program).toUtf8());
    return f.commit();
}

} // namespace autostart
