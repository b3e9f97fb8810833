#include "WindowSticky.h"

#include <QGuiApplication>
#include <QWindow>

#ifdef QUILLFERN_HAVE_XCB
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <xcb/xcb.h>

namespace {

xcb_atom_t internAtom(xcb_connection_t* conn, const char* name) {
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(conn, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(conn, cookie, nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}

} // namespace

// Qt 6.4 has no public call for "all workspaces", so the two EWMH properties are written
// directly. On an unmapped window the properties are the request itself; Qt merges its own
// states (above, ...) into the existing _NET_WM_STATE when it maps the window. For a window
// already mapped, the window manager only listens to client messages on the root window.
bool stickMakeWindowSticky(QWindow* window) {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!window || !x11 || !x11->connection()) {
        return false;
    }
    xcb_connection_t* conn = x11->connection();
    const auto id = static_cast<xcb_window_t>(window->winId());
    const xcb_atom_t netWmState = internAtom(conn, "_NET_WM_STATE");
    const xcb_atom_t sticky = internAtom(conn, "_NET_WM_STATE_STICKY");
    const xcb_atom_t desktop = internAtom(conn, "_NET_WM_DESKTOP");
    if (netWmState == XCB_ATOM_NONE || sticky == XCB_ATOM_NONE || desktop == XCB_ATOM_NONE) {
        return false;
    }
    const std::uint32_t allDesktops = 0xFFFFFFFF;

    if (!window->isVisible()) {
        // Keep whatever states are already requested and add sticky once.
        std::vector<xcb_atom_t> states;
        const xcb_get_property_cookie_t cookie =
            xcb_get_property(conn, 0, id, netWmState, XCB_ATOM_ATOM, 0, 1024);
        if (xcb_get_property_reply_t* reply = xcb_get_property_reply(conn, cookie, nullptr)) {
            if (reply->format == 32 && reply->type == XCB_ATOM_ATOM) {
                const auto* data = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply));
                states.assign(data, data + xcb_get_property_value_length(reply) / 4);
            }
            std::free(reply);
        }
        bool present = false;
        for (xcb_atom_t a : states) {
            present = present || a == sticky;
        }
        if (!present) {
            states.push_back(sticky);
        }
        xcb_change_property(conn, XCB_PROP_MODE_REPLACE, id, netWmState, XCB_ATOM_ATOM, 32,
                            static_cast<std::uint32_t>(states.size()), states.data());
        xcb_change_property(conn, XCB_PROP_MODE_REPLACE, id, desktop, XCB_ATOM_CARDINAL, 32, 1,
                            &allDesktops);
    } else {
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(conn)).data;
        if (!screen) {
            return false;
        }
        auto send = [&](xcb_atom_t type, std::uint32_t d0, std::uint32_t d1) {
            xcb_client_message_event_t event{};
            event.response_type = XCB_CLIENT_MESSAGE;
            event.format = 32;
            event.window = id;
            event.type = type;
            event.data.data32[0] = d0;
            event.data.data32[1] = d1;
            event.data.data32[3] = 1; // source: a normal application
            xcb_send_event(conn, 0, screen->root,
                           XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT |
                               XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                           reinterpret_cast<const char*>(&event));
        };
        send(netWmState, 1 /* add */, sticky);
        send(desktop, allDesktops, 0);
    }
    xcb_flush(conn);
    return true;
}

#else

bool stickMakeWindowSticky(QWindow*) {
    return false;
}

#endif
