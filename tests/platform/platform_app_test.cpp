#include "Autostart.h"
#include "CompositorIpc.h"
#include "SingleInstance.h"

#include <QFile>
#include <QTemporaryDir>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(SingleInstance, LockLivesOnlyInADirectoryOfTheUsersOwn) {
    QTemporaryDir root;
    const QByteArray runtime = QFile::encodeName(root.filePath("runtime"));
    const QByteArray link = QFile::encodeName(root.filePath("link"));
    const QByteArray cache = QFile::encodeName(root.filePath("cache"));
    const QByteArray own = cache + "/quillfern";
    const auto dir = &SingleInstance::privateDirectory;
    const auto mode = [](const QByteArray& p) {
        return std::filesystem::symlink_status(p.constData()).permissions();
    };
    ASSERT_EQ(::mkdir(runtime.constData(), 0700), 0);
    ASSERT_EQ(::symlink(runtime.constData(), link.constData()), 0);

    EXPECT_EQ(dir(runtime, {}, {}), QFile::decodeName(runtime));
    // A symlink to a good one, a relative name, or one others may enter: the user's cache
    // instead, made private.
    for (const QByteArray& bad : {link, link + "/", QByteArray("runtime")})
        EXPECT_EQ(dir(bad, cache, {}), QFile::decodeName(own)) << bad.constData();
    ::chmod(runtime.constData(), 0755);
    EXPECT_EQ(dir(runtime, cache, {}), QFile::decodeName(own));
    EXPECT_EQ(mode(own), std::filesystem::perms::owner_all);
    // Our own directory left loose is tightened; without XDG_CACHE_HOME, HOME's is used.
    ::chmod(own.constData(), 0755);
    EXPECT_EQ(dir({}, cache, {}), QFile::decodeName(own));
    EXPECT_EQ(mode(own), std::filesystem::perms::owner_all);

    // Something planted in its place is refused, and then there is no place at all.
    ASSERT_EQ(::rmdir(own.constData()), 0);
    ASSERT_EQ(::symlink(runtime.constData(), own.constData()), 0);
    EXPECT_EQ(dir({}, cache, {}), std::nullopt);
    EXPECT_EQ(dir({}, {}, {}), std::nullopt);
}

TEST(Autostart, EntryIsWrittenQuotedAndRemoved) {
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
    ASSERT_TRUE(autostart::setEnabled(true, QStringLiteral("/opt/my \"apps\"/bin/quillfern")));
    QFile f(autostart::entryPath());
    EXPECT_TRUE(f.open(QIODevice::ReadOnly) &&
                f.readAll().contains("Exec=\"/opt/my \\\"apps\\\"/bin/quillfern\"\n"));

    ASSERT_TRUE(autostart::setEnabled(false, QString()));
    EXPECT_FALSE(QFile::exists(autostart::entryPath()));
    qunsetenv("XDG_CONFIG_HOME");
}

TEST(CompositorIpc, MessagesSurviveAnyChunkingAndBrokenStreamsAreRefused) {
    const QByteArray payload = QByteArrayLiteral("[{\"success\": true}]");
    const QByteArray two = ipc::frame(ipc::runCommand, payload) + ipc::frame(7, {});
    QByteArray buffer;
    std::vector<std::pair<quint32, QByteArray>> got;
    for (char byte : two) { // one byte at a time: every split point is met
        buffer.append(byte);
        quint32 type = 99;
        QByteArray body;
        while (ipc::takeFrame(buffer, type, body) == ipc::Read::Message)
            got.emplace_back(type, body);
    }
    EXPECT_EQ(got, (std::vector<std::pair<quint32, QByteArray>>{{0, payload}, {7, {}}}));
    EXPECT_TRUE(buffer.isEmpty());

    QByteArray huge = ipc::frame(0, {});
    huge[6] = huge[7] = huge[8] = huge[9] = '\xff'; // a length of 4 GiB
    for (QByteArray bad : {QByteArrayLiteral("i3-ipX"), QByteArrayLiteral("{\"success\""), huge}) {
        quint32 type = 0;
        QByteArray body;
        EXPECT_EQ(ipc::takeFrame(bad, type, body), ipc::Read::Invalid) << bad.toHex().constData();
    }
}

} // namespace
