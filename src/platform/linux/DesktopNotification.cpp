#include "DesktopNotification.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QLoggingCategory>
#include <QVariantMap>

Q_LOGGING_CATEGORY(lcNotify, "quillfern.notify")

namespace desktopnotify {

namespace {

// Said once per change: whether the last message found a notification service.
void reportReach(bool reached, const QString& why) {
    static int last = -1;
    if (last == int(reached)) {
        return;
    }
    last = int(reached);
    if (reached) {
        qCInfo(lcNotify) << "desktop notifications are delivered";
    } else {
        qCInfo(lcNotify).noquote() << "no desktop notification service:" << why;
    }
}

} // namespace

bool send(const QString& summary, const QString& body) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        reportReach(false, QStringLiteral("no session bus"));
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    call << QStringLiteral("Quillfern") << uint(0) << QStringLiteral("quillfern") << summary << body
         << QStringList() << QVariantMap() << int(-1);
    // Asynchronous: a slow or absent service never holds up the widget.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [](QDBusPendingCallWatcher* w) {
                         const QDBusPendingReply<uint> reply = *w;
                         reportReach(!reply.isError(), reply.error().message());
                         w->deleteLater();
                     });
    return true;
}

} // namespace desktopnotify
