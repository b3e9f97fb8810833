#include "DisplayProbe.h"

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#ifdef QUILLFERN_HAVE_XCB
#include <xcb/xcb.h>
#endif

bool dispX11Answers(const QByteArray& display) {
    if (display.isEmpty()) {
        return false;
    }
#ifdef QUILLFERN_HAVE_XCB
    // The same library and handshake Qt's xcb plugin uses, so a refusal (no server, no
    // authorisation) shows here exactly as it would there.
    xcb_connection_t* connection = xcb_connect(display.constData(), nullptr);
    const bool ok = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return ok;
#else
    // Without libxcb at build time there is no honest way to ask; Qt will find out.
    return true;
#endif
}

bool dispWaylandAnswers(const QByteArray& waylandDisplay, const QByteArray& runtimeDir) {
    if (waylandDisplay.isEmpty()) {
        return false;
    }
    QByteArray path = waylandDisplay;
    if (!path.startsWith('/')) {
        if (runtimeDir.isEmpty()) {
            return false; // the client library cannot find a relative socket either
        }
        path = runtimeDir + '/' + waylandDisplay;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (static_cast<std::size_t>(path.size()) >= sizeof addr.sun_path) {
        return false;
    }
    std::memcpy(addr.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}
