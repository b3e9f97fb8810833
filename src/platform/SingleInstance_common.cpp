#include "SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>
#include <unistd.h>

SingleInstance::SingleInstance(const QString& key, const QString& runtimeDir, QObject* parent)
    // The socket is a full path in the user's own runtime directory, not a bare name in
    // the shared temporary directory where another user or a test could take it over.
    : QObject(parent), m_key(QDir(runtimeDir).filePath(key + QStringLiteral(".sock"))),
      m_lock(
          std::make_unique<QLockFile>(QDir(runtimeDir).filePath(key + QStringLiteral(".lock")))) {
    // Staleness by age would let a launch take the lock of an instance that has simply
    // run for longer than the limit; a lock whose owner has died is still taken over,
    // because QLockFile checks the owner's process id first.
    m_lock->setStaleLockTime(0);
}

SingleInstance::~SingleInstance() {
    if (m_server) {
        m_server->close();
    }
}

bool SingleInstance::becomePrimary() {
    if (m_server) {
        return true;
    }
    if (!m_lock->tryLock(0)) {
        return false;
    }
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // We hold the lock, so a socket left behind can only be from a crashed instance.
    QLocalServer::removeServer(m_key);
    if (!m_server->listen(m_key)) {
        // Still the one instance; later launches just cannot reach us.
        return true;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* sock = m_server->nextPendingConnection()) {
            connect(sock, &QLocalSocket::disconnected, sock, &QObject::deleteLater);
            connect(sock, &QLocalSocket::readyRead, this, [this, sock] {
                while (sock->canReadLine()) {
                    emit messageReceived(sock->readLine().trimmed());
                }
            });
        }
    });
    return true;
}

bool SingleInstance::sendToPrimary(const QByteArray& message, int timeoutMs) const {
    // The first instance may still be starting: it holds the lock before it listens.
    QDeadlineTimer deadline(timeoutMs);
    while (true) {
        QLocalSocket sock;
        sock.connectToServer(m_key);
        if (sock.waitForConnected(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())))) {
            sock.write(message + '\n');
            const bool ok = sock.waitForBytesWritten(
                static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
            sock.disconnectFromServer();
            if (sock.state() != QLocalSocket::UnconnectedState) {
                sock.waitForDisconnected(500);
            }
            return ok;
        }
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(50);
    }
}

QString SingleInstance::defaultKey() {
    return QStringLiteral("quillfern-%1").arg(::getuid());
}

QString SingleInstance::defaultRuntimeDir() {
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty()) {
        dir = QDir::tempPath();
    }
    return dir;
}
