// The allowance's desktop notifications through a live session bus: one Notify for 80 % and
// one for 100 %, and without a notification service one line in the log and nothing else.

#include "AllowanceWatcher.h"
#include "DesktopNotification.h"
#include "LogCapture.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVirtualObject>
#include <QSettings>
#include <QTemporaryDir>
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
        if (call.member() == QLatin1String("Notify")) {
            shown.push_back(
                {call.arguments().value(3).toString(), call.arguments().value(4).toString()});
        }
        return bus.send(call.createReply(uint(shown.size())));
    }
};

class UsedSource : public HistorySource {
public:
    std::uint64_t used = 0;
    QDate today() const override { return QDate(2026, 3, 15); }
    ByteCounts totals(QDate, QDate) const override { return {used, 0}; }
    std::vector<AppEntry> apps(QDate, QDate) const override { return {}; }
};

} // namespace

TEST(AllowanceNotifications, OneNoticeEachAt80And100PercentAndAMissingServiceSaidOnce) {
    qftest::Sandbox sandbox;
    // The machine may offer a notification service to start on demand; on this bus the only
    // one to start fails at once, as on a desktop that has none.
    const auto services = sandbox.root() / "data/dbus-1/services";
    std::filesystem::create_directories(services);
    std::ofstream(services / "org.freedesktop.Notifications.service")
        << "[D-BUS Service]\nName=org.freedesktop.Notifications\nExec=/bin/false\n";
    if (!sandbox.startSessionBus()) {
        GTEST_SKIP() << "dbus-daemon is not installed";
    }
    for (const std::string& entry : sandbox.env()) {
        if (entry.rfind("DBUS_SESSION_BUS_ADDRESS=", 0) == 0) {
            qputenv("DBUS_SESSION_BUS_ADDRESS", QByteArray::fromStdString(entry.substr(25)));
        }
    }
    QDBusConnection serviceBus = QDBusConnection::connectToBus(
        qgetenv("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("notification-service"));
    FakeNotifications fake;
    ASSERT_TRUE(serviceBus.registerVirtualObject(kPath, &fake));
    ASSERT_TRUE(serviceBus.registerService(kService));

    LogCapture log;
    QTemporaryDir dir;
    UsedSource source;
    AllowanceWatcher watcher(source, &desktopnotify::send);
    // 1 GB from the 1st; 0.85 GB used, then 1.2 GB, each looked at twice.
    const auto run = [&](const QString& file) {
        QSettings settings(dir.filePath(file), QSettings::IniFormat);
        allowanceSave(settings, {true, 1, 1, true});
        for (const std::uint64_t used : {870u << 20, 870u << 20, 1229u << 20, 1229u << 20}) {
            source.used = used;
            watcher.check(settings, source.today(), 0.5);
        }
        // Answered (or refused) only after every Notify sent before it has been dealt with.
        const QDBusPendingCall probe = QDBusConnection::sessionBus().asyncCall(
            QDBusMessage::createMethodCall(kService, kPath, kService, "GetCapabilities"));
        EXPECT_TRUE(qftest::waitUntil([&] {
            QCoreApplication::processEvents();
            return probe.isFinished();
        }));
        QCoreApplication::processEvents(); // the replies to the Notify calls, queued before
    };

    run("with-service.conf");
    EXPECT_EQ(fake.shown, (QList<QStringList>{
                              {"流量配额已用 80%", "本期 3/1–3/31 已用 870.0 MB，配额 1.00 GB。"},
                              {"流量配额已用完", "本期 3/1–3/31 已用 1.20 GB，配额 1.00 GB。"}}));

    // The service leaves: the log says so once.
    ASSERT_TRUE(serviceBus.unregisterService(kService));
    run("without-service.conf");
    // Said when it changes: delivered, then missing, and not again for the second notice.
    const QStringList said = log.of("quillfern.notify");
    ASSERT_EQ(said.size(), 2) << said.join('\n').toStdString();
    EXPECT_EQ(said[0], "desktop notifications are delivered");
    EXPECT_TRUE(said[1].startsWith("no desktop notification service")) << said[1].toStdString();
}
