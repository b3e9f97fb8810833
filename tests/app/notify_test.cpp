// Desktop notifications through a live session bus: each Notify arrives as sent, and without
// a notification service there is one line in the log and nothing else. When the allowance
// speaks is the watcher's own test.

#include "DesktopNotification.h"
#include "LogCapture.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVirtualObject>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

// A notification service that keeps the summary and body of every Notify it is sent, and
// answers every call with a notification id.
class FakeNotifications : public QDBusVirtualObject {
public:
    QList<QStringList> shown;
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& call, const QDBusConnection& bus) override {
        if (call.member() == QLatin1String("Notify"))
            shown.push_back(
                {call.arguments().value(3).toString(), call.arguments().value(4).toString()});
        return bus.send(call.createReply(uint(shown.size())));
    }
};

} // namespace

TEST(DesktopNotifications, DeliveredAsSentAndAMissingServiceSaidOnce) {
    qftest::Sandbox sandbox;
    // The machine may offer a notification service to start on demand; on this bus the only
    // one to start fails at once, as on a desktop that has none.
    const auto services = sandbox.root() / "data/dbus-1/services";
    std::filesystem::create_directories(services);
    std::ofstream(services / "org.freedesktop.Notifications.service")
        << "[D-BUS Service]\nName=org.freedesktop.Notifications\nExec=/bin/false\n";
    if (!sandbox.startSessionBus())
        GTEST_SKIP() << "dbus-daemon is not installed";
    for (const std::string& entry : sandbox.env())
        if (entry.rfind("DBUS_SESSION_BUS_ADDRESS=", 0) == 0)
            qputenv("DBUS_SESSION_BUS_ADDRESS", QByteArray::fromStdString(entry.substr(25)));
    QDBusConnection serviceBus = QDBusConnection::connectToBus(
        qgetenv("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("notification-service"));
    FakeNotifications fake;
    ASSERT_TRUE(serviceBus.registerVirtualObject(kPath, &fake));
    ASSERT_TRUE(serviceBus.registerService(kService));

    LogCapture log;
    const auto run = [&] {
        desktopnotify::send("流量配额已用 80%", "本期已用 870.0 MB。");
        desktopnotify::send("Data allowance used up", "");
        // Answered (or refused) only after every Notify sent before it has been dealt with.
        const QDBusPendingCall probe = QDBusConnection::sessionBus().asyncCall(
            QDBusMessage::createMethodCall(kService, kPath, kService, "GetCapabilities"));
        EXPECT_TRUE(qftest::waitUntil([&] {
            QCoreApplication::processEvents();
            return probe.isFinished();
        }));
        QCoreApplication::processEvents(); // the replies to the Notify calls, queued before
    };

    run();
    EXPECT_EQ(fake.shown, (QList<QStringList>{{"流量配额已用 80%", "本期已用 870.0 MB。"},
                                              {"Data allowance used up", ""}}));

    // The service leaves: the log says so once.
    ASSERT_TRUE(serviceBus.unregisterService(kService));
    run();
    // Said when it changes: delivered, then missing, and not again for the second notice.
    const QStringList said = log.of("quillfern.notify");
    ASSERT_EQ(said.size(), 2) << said.join('\n').toStdString();
    EXPECT_TRUE(said[1].startsWith("no desktop notification service")) << said[1].toStdString();
}
