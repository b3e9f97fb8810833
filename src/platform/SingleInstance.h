#pragma once

#include <QByteArray>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <map>
#include <memory>
#include <optional>

class QSocketNotifier;

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

    // Sends a one-line request to the running instance; true once it has been handed over.
    bool sendToPrimary(const QByteArray& message, int timeoutMs = 3000) const;

    // The per-user key: "quillfern-<uid>".
    static QString defaultKey();

    // Where the lock and the socket may live: a directory that is the user's alone (owned
    // by us, mode 0700, itself no symlink), so no other user can plant a lock or a socket
    // there. The runtime directory when it is such; else "quillfern" under the user's cache
    // (`cacheHome`, else `home`/.cache), made or tightened to 0700; else none.
    static std::optional<QString> privateDirectory(const QByteArray& runtimeDir,
                                                   const QByteArray& cacheHome,
                                                   const QByteArray& home);
    // The same, from XDG_RUNTIME_DIR, XDG_CACHE_HOME and HOME.
    static std::optional<QString> defaultDirectory();

signals:
    void messageReceived(const QByteArray& message);

private:
    void acceptPending();
    void readFrom(int fd);
    void dropClient(int fd);

    QString m_socketPath;
    std::unique_ptr<QLockFile> m_lock;
    bool m_primary = false;
    int m_listenFd = -1;
    QSocketNotifier* m_listenNotifier = nullptr;
    struct Client {
        QSocketNotifier* notifier = nullptr;
        QByteArray buffer;
    };
    std::map<int, Client> m_clients;
};
