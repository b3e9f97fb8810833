#include "Autostart.h"
#include "QuitSignals.h"
#include "SingleInstance.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <csignal>
#include <gtest/gtest.h>

namespace {

TEST(QuitSignals, EachSignalEndsTheEventLoopThroughQuit) {
    installQuitSignalHandlers(QCoreApplication::instance());
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        int aboutToQuit = 0;
        auto conn = QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit,
                                     [&] { ++aboutToQuit; });
        QTimer::singleShot(0, [sig] { ::raise(sig); });
        // A watchdog, so a handler that does nothing fails instead of hanging.
        bool timedOut = false;
        QTimer::singleShot(30000, [&] {
            timedOut = true;
            QCoreApplication::exit(7);
        });
        const int rc = QCoreApplication::exec();
        QObject::disconnect(conn);
        EXPECT_FALSE(timedOut) << "signal " << sig;
        EXPECT_EQ(rc, 0) << "signal " << sig;
        EXPECT_EQ(aboutToQuit, 1) << "signal " << sig;
    }
}

TEST(SingleInstance, SecondLaunchHandsItsRequestToTheFirst) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString key = QStringLiteral("quillfern-test-%1").arg(QCoreApplication::applicationPid());

    SingleInstance first(key, dir.path());
    ASSERT_TRUE(first.becomePrimary());
    QList<QByteArray> received;
    QEventLoop loop;
    QObject::connect(&first, &SingleInstance::messageReceived, [&](const QByteArray& m) {
        received << m;
        loop.quit();
    });

    SingleInstance second(key, dir.path());
    EXPECT_FALSE(second.becomePrimary());
    // The sender blocks; the receiver needs the event loop, so let it run meanwhile.
    bool sent = false;
    QTimer::singleShot(0, [&] { sent = second.sendToPrimary("show-history"); });
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    ASSERT_EQ(received.size(), 1);
    EXPECT_TRUE(sent);
    EXPECT_EQ(received.first(), QByteArray("show-history"));
}

TEST(SingleInstance, OverlongOrUnfinishedRequestsAreDroppedAndTheNextOneWorks) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString key = QStringLiteral("quillfern-junk-%1").arg(QCoreApplication::applicationPid());
    SingleInstance first(key, dir.path());
    ASSERT_TRUE(first.becomePrimary());
    QList<QByteArray> received;
    QEventLoop loop;
    QObject::connect(&first, &SingleInstance::messageReceived, [&](const QByteArray& m) {
        received << m;
        loop.quit();
    });

    SingleInstance other(key, dir.path());
    // A line far longer than any request: dropped unread past its first few hundred bytes.
    other.sendToPrimary(QByteArray(4096, 'x'));
    bool sent = false;
    QTimer::singleShot(0, [&] { sent = other.sendToPrimary("show-history"); });
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_TRUE(sent);
    ASSERT_EQ(received.size(), 1);
    EXPECT_EQ(received.first(), QByteArray("show-history"));
}

TEST(SingleInstance, NobodyListeningMeansTheRequestFails) {
    QTemporaryDir dir;
    SingleInstance lone(QStringLiteral("quillfern-none-%1").arg(QCoreApplication::applicationPid()),
                        dir.path());
    EXPECT_FALSE(lone.sendToPrimary("show-history", 200));
}

TEST(Autostart, EntryIsWrittenQuotedAndRemoved) {
    QTemporaryDir dir;
    const QByteArray old = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());

    EXPECT_FALSE(autostart::isEnabled());
    ASSERT_TRUE(autostart::setEnabled(true, QStringLiteral("/opt/my \"apps\"/bin/quillfern")));
    EXPECT_TRUE(autostart::entryPath().startsWith(dir.path()));
    EXPECT_TRUE(autostart::isEnabled());
    QFile f(autostart::entryPath());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    EXPECT_TRUE(text.contains("Exec=\"/opt/my \\\"apps\\\"/bin/quillfern\"\n")) << text.constData();
    f.close();

    // A desktop that switched the entry off without deleting it.
    ASSERT_TRUE(f.open(QIODevice::Append));
    f.write("Hidden=true\n");
    f.close();
    EXPECT_FALSE(autostart::isEnabled());

    ASSERT_TRUE(autostart::setEnabled(false, QString()));
    EXPECT_FALSE(QFile::exists(autostart::entryPath()));
    EXPECT_TRUE(autostart::setEnabled(false, QString())) << "removing twice is fine";

    if (old.isNull()) {
        qunsetenv("XDG_CONFIG_HOME");
    } else {
        qputenv("XDG_CONFIG_HOME", old);
    }
}

} // namespace
