#pragma once

// What the X11 window fixes share: Qt's own X connection, atoms by name, and a watch on the
// X events that reach the application while one window lives. Built only with xcb.

#include <QAbstractNativeEventFilter>
#include <QGuiApplication>
#include <QWindow>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <xcb/xcb.h>

// Qt's connection, or none where the program does not run on X11.
inline xcb_connection_t* x11Connection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

inline xcb_atom_t x11Atom(xcb_connection_t* conn, std::string_view name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        conn, xcb_intern_atom(conn, 0, static_cast<std::uint16_t>(name.size()), name.data()),
        nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}

// Sees every X event the application gets for as long as its window (its parent) lives,
// and takes none of them from Qt.
class XcbWindowFilter : public QObject, public QAbstractNativeEventFilter {
public:
    XcbWindowFilter(QWindow* window, xcb_connection_t* conn)
        : QObject(window), m_conn(conn), m_id(static_cast<xcb_window_t>(window->winId())) {
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    ~XcbWindowFilter() override {
        if (QCoreApplication::instance())
            QCoreApplication::instance()->removeNativeEventFilter(this);
    }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) final {
        if (type == "xcb_generic_event_t")
            onEvent(*static_cast<const xcb_generic_event_t*>(message));
        return false;
    }

protected:
    virtual void onEvent(const xcb_generic_event_t& event) = 0;

    xcb_connection_t* const m_conn;
    const xcb_window_t m_id;
};
