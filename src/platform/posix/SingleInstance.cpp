#include "SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QThread>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

// A plain AF_UNIX socket rather than QLocalServer: QtNetwork would bring Kerberos and GSSAPI
// into a program that stays resident all day, for one line sent once in a while.

namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

// A request is one short line; anything longer is not ours.
constexpr qsizetype kMaxMessage = 256;

bool socketAddress(const QString& path, sockaddr_un& addr) {
    const QByteArray native = QFile::encodeName(path);
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (native.isEmpty() || static_cast<size_t>(native.size()) >= sizeof addr.sun_path) {
        return false;
    }
    std::memcpy(addr.sun_path, native.constData(), static_cast<size_t>(native.size()));
    return true;
}

int newSocket() {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd >= 0) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#ifdef SO_NOSIGPIPE
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    }
    return fd;
}

} // namespace

SingleInstance::SingleInstance(const QString& key, const QString& runtimeDir, QObject* parent)
    : QObject(parent), m_socketPath(QDir(runtimeDir).filePath(key + QStringLiteral(".sock"))),
      m_lock(
          std::make_unique<QLockFile>(QDir(runtimeDir).filePath(key + QStringLiteral(".lock")))) {
    // Staleness by age would let a launch take the lock of an instance that has simply
    // run for longer than the limit; a lock whose owner has died is still taken over,
    // because QLockFile checks the owner's process id first.
    m_lock->setStaleLockTime(0);
}

SingleInstance::~SingleInstance() {
    for (auto& [fd, client] : m_clients) {
        delete client.notifier;
        ::close(fd);
    }
    if (m_listenFd >= 0) {
        delete m_listenNotifier;
        ::close(m_listenFd);
        ::unlink(QFile::encodeName(m_socketPath).constData());
    }
}

bool SingleInstance::becomePrimary() {
    if (m_primary) {
        return true;
    }
    if (!m_lock->tryLock(0)) {
        return false;
    }
    m_primary = true;
    sockaddr_un addr{};
    const int fd = socketAddress(m_socketPath, addr) ? newSocket() : -1;
    if (fd < 0) {
        // Still the one instance; later launches just cannot reach us.
        return true;
    }
    // We hold the lock, so a socket left behind can only be from an instance that died.
    ::unlink(addr.sun_path);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::chmod(addr.sun_path, S_IRUSR | S_IWUSR) != 0 || ::listen(fd, 8) != 0) {
        ::close(fd);
        return true;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    m_listenFd = fd;
    m_listenNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_listenNotifier, &QSocketNotifier::activated, this, [this] { acceptPending(); });
    return true;
}

void SingleInstance::acceptPending() {
    while (true) {
        const int fd = ::accept(m_listenFd, nullptr, nullptr);
        if (fd < 0) {
            return;
        }
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        Client& client = m_clients[fd];
        client.notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(client.notifier, &QSocketNotifier::activated, this, [this, fd] { readFrom(fd); });
    }
}

void SingleInstance::readFrom(int fd) {
    auto it = m_clients.find(fd);
    if (it == m_clients.end()) {
        return;
    }
    char buf[256];
    while (true) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            it->second.buffer.append(buf, n);
            const qsizetype newline = it->second.buffer.indexOf('\n');
            if (newline >= 0) {
                const QByteArray message = it->second.buffer.left(newline).trimmed();
                dropClient(fd);
                emit messageReceived(message);
                return;
            }
            if (it->second.buffer.size() > kMaxMessage) {
                dropClient(fd);
                return;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return; // the rest of the line comes later
        }
        dropClient(fd); // end of stream or an error, without a complete line
        return;
    }
}

void SingleInstance::dropClient(int fd) {
    auto it = m_clients.find(fd);
    if (it == m_clients.end()) {
        return;
    }
    it->second.notifier->setEnabled(false);
    it->second.notifier->deleteLater();
    ::close(fd);
    m_clients.erase(it);
}

bool SingleInstance::sendToPrimary(const QByteArray& message, int timeoutMs) const {
    sockaddr_un addr{};
    if (!socketAddress(m_socketPath, addr)) {
        return false;
    }
    const QByteArray line = message + '\n';
    // The first instance may still be starting: it holds the lock before it listens.
    QDeadlineTimer deadline(timeoutMs);
    while (true) {
        const int fd = newSocket();
        if (fd < 0) {
            return false;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
            qsizetype sent = 0;
            while (sent < line.size()) {
                const ssize_t n = ::send(fd, line.constData() + sent,
                                         static_cast<size_t>(line.size() - sent), kSendFlags);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    break;
                }
                sent += n;
            }
            ::close(fd);
            return sent == line.size();
        }
        ::close(fd);
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(50);
    }
}

QString SingleInstance::defaultKey() {
    return QStringLiteral("quillfern-%1").arg(::getuid());
}

namespace {

// The directory at `path` itself, never what a symlink there points to; -1 if it is not one.
int openDirNoFollow(const QString& path) {
    return ::open(QFile::encodeName(path).constData(),
                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool ownedPrivately(const struct stat& st) {
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 07777) == 0700;
}

// An absolute path without a trailing slash, which would make the kernel follow a symlink
// in the last place.
std::optional<QString> cleanAbsolute(const QByteArray& value) {
    const QString path = QDir::cleanPath(QFile::decodeName(value));
    if (value.isEmpty() || !QDir::isAbsolutePath(path) || path == QStringLiteral("/")) {
        return std::nullopt;
    }
    return path;
}

bool isPrivateDirectory(const QString& path) {
    const int fd = openDirNoFollow(path);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    const bool ok = ::fstat(fd, &st) == 0 && ownedPrivately(st);
    ::close(fd);
    return ok;
}

// Our own directory under the cache: made 0700, or tightened to it when it is ours but
// looser. Someone else's directory, or a symlink in its place, is left alone and refused.
bool makePrivateDirectory(const QString& path) {
    QDir().mkpath(QFileInfo(path).path());
    ::mkdir(QFile::encodeName(path).constData(), 0700);
    const int fd = openDirNoFollow(path);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
    if (ok && (st.st_mode & 07777) != 0700) {
        ok = ::fchmod(fd, 0700) == 0;
    }
    ::close(fd);
    return ok;
}

} // namespace

std::optional<QString> SingleInstance::privateDirectory(const QByteArray& runtimeDir,
                                                        const QByteArray& cacheHome,
                                                        const QByteArray& home) {
    if (const auto runtime = cleanAbsolute(runtimeDir); runtime && isPrivateDirectory(*runtime)) {
        return runtime;
    }
    std::optional<QString> cache = cleanAbsolute(cacheHome);
    if (!cache) {
        if (const auto h = cleanAbsolute(home)) {
            cache = *h + QStringLiteral("/.cache");
        }
    }
    if (!cache) {
        return std::nullopt;
    }
    const QString own = *cache + QStringLiteral("/quillfern");
    if (makePrivateDirectory(own)) {
        return own;
    }
    return std::nullopt;
}

std::optional<QString> SingleInstance::defaultDirectory() {
    return privateDirectory(qgetenv("XDG_RUNTIME_DIR"), qgetenv("XDG_CACHE_HOME"), qgetenv("HOME"));
}
