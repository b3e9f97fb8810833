#include "CompositorIpc.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QWindow>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcCompositorIpc, "quillfern.compositor", QtInfoMsg)

namespace {

using Clock = std::chrono::steady_clock;
// The compositor answers a command within its own event loop turn; a socket that says
// nothing for this long belongs to a compositor that is gone or hung.
constexpr auto replyDeadline = std::chrono::seconds(1);

int connectTo(const QByteArray& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.isEmpty() || static_cast<std::size_t>(path.size()) >= sizeof addr.sun_path) {
        return -1;
    }
    std::memcpy(addr.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const int why = errno;
        ::close(fd);
        errno = why; // for the caller's message
        return -1;
    }
    return fd;
}

bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n > 0) {
            return true;
        }
        if (n < 0 && errno != EINTR) {
            return false;
        }
    }
}

// The connection of one card, kept for its drags; it goes with the window.
class CardLink : public QObject {
public:
    CardLink(QWindow* window, int fd)
        : QObject(window), m_fd(fd), m_window(static_cast<quint32>(window->winId())),
          m_pid(QCoreApplication::applicationPid()) {}
    ~CardLink() override { ::close(m_fd); }

    // The failure of a command list, empty when the compositor carried out all of it.
    QString run(const QString& commands) {
        const QByteArray out = ipc::frame(ipc::runCommand, commands.toUtf8());
        const auto deadline = Clock::now() + replyDeadline;
        for (qsizetype sent = 0; sent < out.size();) {
            if (!waitFor(m_fd, POLLOUT, deadline)) {
                return QStringLiteral("the compositor does not read its socket");
            }
            const ssize_t n = ::send(m_fd, out.constData() + sent,
                                     static_cast<std::size_t>(out.size() - sent), MSG_NOSIGNAL);
            if (n < 0 && errno != EINTR && errno != EAGAIN) {
                return QString::fromLocal8Bit(std::strerror(errno));
            }
            sent += n > 0 ? n : 0;
        }
        QByteArray buffer;
        for (;;) {
            quint32 type = 0;
            QByteArray payload;
            switch (ipc::takeFrame(buffer, type, payload)) {
            case ipc::Read::Message:
                if (type == ipc::runCommand) {
                    return ipc::firstFailure(payload);
                }
                continue; // not ours: nothing is subscribed, but a reply is all that counts
            case ipc::Read::Invalid:
                return QStringLiteral("the compositor's reply is not an IPC message");
            case ipc::Read::Incomplete:
                break;
            }
            char chunk[4096];
            if (!waitFor(m_fd, POLLIN, deadline)) {
                return QStringLiteral("no reply from the compositor");
            }
            const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (n == 0) {
                return QStringLiteral("the compositor closed its socket");
            }
            if (n < 0 && errno != EINTR && errno != EAGAIN) {
                return QString::fromLocal8Bit(std::strerror(errno));
            }
            buffer.append(chunk, n > 0 ? n : 0);
        }
    }

    quint32 window() const { return m_window; }
    qint64 pid() const { return m_pid; }

private:
    int m_fd;
    quint32 m_window;
    qint64 m_pid;
};

} // namespace

bool ipcTakeCard(QWindow* window, QPoint topLeft) {
    // Only an X11 window has the id the rules name; natively on Wayland there is none.
    const QByteArray socketPath = qgetenv("SWAYSOCK");
    if (!window || socketPath.isEmpty() ||
        QGuiApplication::platformName() != QLatin1String("xcb")) {
        return false;
    }
    const int fd = connectTo(socketPath);
    if (fd < 0) {
        const char* why = std::strerror(errno);
        qCWarning(lcCompositorIpc) << "cannot reach the compositor at" << socketPath << ":" << why
                                   << "- the card is placed as on X11";
        return false;
    }
    auto* link = new CardLink(window, fd);
    const QString failure = link->run(ipc::cardRules(link->window(), link->pid(), topLeft));
    if (!failure.isEmpty()) {
        qCWarning(lcCompositorIpc) << "the compositor did not take the card's rules:" << failure;
        delete link;
        return false;
    }
    return true;
}

bool ipcMoveCard(QWindow* window, QPoint topLeft) {
    CardLink* link = nullptr;
    for (QObject* child : window ? window->children() : QObjectList()) {
        link = link ? link : dynamic_cast<CardLink*>(child);
    }
    if (!link) {
        return false;
    }
    const QString failure = link->run(ipc::moveCommand(link->window(), link->pid(), topLeft));
    if (!failure.isEmpty()) {
        // Said once: the link goes, and later moves are plain X11 requests again.
        qCWarning(lcCompositorIpc) << "the compositor no longer moves the card:" << failure;
        delete link;
        return false;
    }
    return true;
}
