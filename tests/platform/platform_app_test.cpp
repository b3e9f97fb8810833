#include "Autostart.h"
#include "AutostartText.h"
#include "QuitSignals.h"
#include "SingleInstance.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QXmlStreamReader>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

TEST(SingleInstance, SecondLaunchHandsItsRequestToTheFirstPastOverlongOnes) {
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
    EXPECT_FALSE(other.becomePrimary());
    // A line far longer than any request: dropped unread past its first few hundred bytes.
    other.sendToPrimary(QByteArray(4096, 'x'));
    bool sent = false;
    QTimer::singleShot(0, [&] { sent = other.sendToPrimary("show-history"); });
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_TRUE(sent);
    ASSERT_EQ(received.size(), 1);
    EXPECT_EQ(received.first(), QByteArray("show-history"));
    SingleInstance lone(key + "-none", dir.path());
    EXPECT_FALSE(lone.sendToPrimary("show-history", 200)) << "nobody listens";
}

TEST(SingleInstance, LockLivesOnlyInADirectoryOfTheUsersOwn) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const auto path = [&](const char* name) { return root.filePath(QString::fromLatin1(name)); };
    const auto native = [](const QString& p) { return QFile::encodeName(p); };
    const auto mode = [&](const QString& p) {
        struct stat st {};
        ::lstat(native(p).constData(), &st);
        return st.st_mode & 07777;
    };
    const QString runtime = path("runtime");
    const QString cache = path("cache");
    const QString own = cache + "/quillfern";
    ASSERT_EQ(::mkdir(native(runtime).constData(), 0700), 0);

    EXPECT_EQ(SingleInstance::privateDirectory(native(runtime), {}, {}), runtime);
    // A runtime directory others may enter, a symlink to a good one, or a relative name:
    // the user's cache instead, made private.
    ASSERT_EQ(::symlink(native(runtime).constData(), native(path("link")).constData()), 0);
    for (const QString& bad : {path("link"), path("link") + "/", QString("runtime")}) {
        EXPECT_EQ(SingleInstance::privateDirectory(native(bad), native(cache), {}), own);
    }
    ::chmod(native(runtime).constData(), 0755);
    EXPECT_EQ(SingleInstance::privateDirectory(native(runtime), native(cache), {}), own);
    EXPECT_EQ(mode(own), 0700u);
    // Our own directory left loose is tightened; without XDG_CACHE_HOME, HOME's is used.
    ::chmod(native(own).constData(), 0755);
    EXPECT_EQ(SingleInstance::privateDirectory({}, native(cache), {}), own);
    EXPECT_EQ(mode(own), 0700u);
    EXPECT_EQ(SingleInstance::privateDirectory({}, {}, native(root.path())),
              root.path() + "/.cache/quillfern");

    // Something planted in its place is refused, and then there is no place at all.
    ASSERT_EQ(::rmdir(native(own).constData()), 0);
    ASSERT_EQ(::symlink(native(runtime).constData(), native(own).constData()), 0);
    EXPECT_EQ(SingleInstance::privateDirectory({}, native(cache), {}), std::nullopt);
    EXPECT_EQ(SingleInstance::privateDirectory({}, {}, {}), std::nullopt);

    if (::geteuid() != 0) {
        GTEST_SKIP() << "directories of another user need root to make";
    }
    ::chmod(native(runtime).constData(), 0700);
    ASSERT_EQ(::chown(native(runtime).constData(), 65534, 65534), 0);
    ASSERT_EQ(::unlink(native(own).constData()), 0);
    ASSERT_EQ(::mkdir(native(own).constData(), 0700), 0);
    ASSERT_EQ(::chown(native(own).constData(), 65534, 65534), 0);
    EXPECT_EQ(SingleInstance::privateDirectory(native(runtime), native(cache), {}), std::nullopt);
    EXPECT_EQ(mode(own), 0700u);
}

TEST(Autostart, LaunchAgentNamesTheProgramExactly) {
    // The macOS entry is a property list: a path with markup characters must come back
    // from an XML reader unchanged.
    const QString program = QStringLiteral("/Applications/A & <B> \"Q\".app/quillfern");
    QXmlStreamReader xml(autostart::launchAgentText(program));
    QStringList strings;
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == u"string") {
            strings << xml.readElementText();
        }
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    EXPECT_EQ(strings, (QStringList{"org.quillfern", program}));
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
