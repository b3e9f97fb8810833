#pragma once

#include <QByteArray>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;

// One running program per user: the first launch holds a lock and listens on a local
// socket; a later launch hands its request to the first one instead of starting again.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // key names the lock and the socket, both in runtimeDir.
    SingleInstance(const QString& key, const QString& runtimeDir, QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this process is now the one instance (and listens for requests).
    bool becomePrimary();

    // Sends a request to the running instance; true once it has been delivered.
    bool sendToPrimary(const QByteArray& message, int timeoutMs = 3000) const;

    // The per-user defaults: key "quillfern-<uid>", the user's runtime directory.
    static QString defaultKey();
    static QString defaultRuntimeDir();

signals:
    void messageReceived(const QByteArray& message);

private:
    QString m_key; // the socket's path
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr;
};
