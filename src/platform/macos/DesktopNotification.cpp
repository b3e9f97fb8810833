#include "DesktopNotification.h"

#include <QProcess>

namespace desktopnotify {

namespace {

// AppleScript string literal: backslashes and quotes escaped.
QString quoted(QString s) {
    s.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
        .replace(QLatin1Char('"'), QStringLiteral("\\\""));
    return QLatin1Char('"') + s + QLatin1Char('"');
}

} // namespace

bool send(const QString& summary, const QString& body) {
    return QProcess::startDetached(
        QStringLiteral("/usr/bin/osascript"),
        {QStringLiteral("-e"), QStringLiteral("display notification ") + quoted(body) +
                                   QStringLiteral(" with title ") + quoted(summary)});
}

} // namespace desktopnotify
