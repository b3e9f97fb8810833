#include "WindowSticky.h"

#include <QWindow>

#ifdef QUILLFERN_HAVE_XCB
#include "XcbWindowFilter.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

std::vector<xcb_atom_t> readStates(xcb_connection_t* conn, xcb_window_t id, xcb_atom_t netWmState) {
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
    return states;
}

// A request to the window manager about a mapped window: it listens only to client
// messages sent to the root window.
void sendToWindowManager(xcb_connection_t* conn, xcb_window_t id, xcb_atom_t type, std::uint32_t d0,
                         std::uint32_t d1, std::uint32_t d2) {
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(conn)).data;
    if (!screen) {
        return;
    }
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = id;
    event.type = type;
    event.data.data32[0] = d0;
    event.data.data32[1] = d1;
    event.data.data32[2] = d2;
    event.data.data32[3] = 1; // source: a normal application
    xcb_send_event(conn, 0, screen->root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&event));
}

constexpr std::uint32_t stateRemove = 0;
constexpr std::uint32_t stateAdd = 1;

std::uint32_t readDesktop(xcb_connection_t* conn, xcb_window_t id, xcb_atom_t desktop) {
    std::uint32_t value = 0;
    const xcb_get_property_cookie_t cookie =
        xcb_get_property(conn, 0, id, desktop, XCB_ATOM_CARDINAL, 0, 1);
    if (xcb_get_property_reply_t* reply = xcb_get_property_reply(conn, cookie, nullptr)) {
        if (reply->format == 32 && xcb_get_property_value_length(reply) == 4) {
            std::memcpy(&value, xcb_get_property_value(reply), 4);
        }
        std::free(reply);
    }
    return value;
}

constexpr std::uint32_t allDesktops = 0xFFFFFFFF;

// Keeps a mapped card as it was asked for, for the life of the window (its QObject parent):
// - KWin's focus-stealing prevention declines to activate a window mapped with a user time
//   of 0 (which Qt sets for a window shown without activating, as it should) and then marks
//   it as demanding attention, although the card never asked to be activated; the mark
//   would highlight it in task managers at every start. No window type or state avoids that
//   without side effects under other managers, so the mark is withdrawn whenever it appears.
// - Qt writes the current desktop into _NET_WM_DESKTOP when it maps a window, and KWin, which
//   does not read sticky as "every desktop", then keeps the card on that one: each time the
//   desktop changes to a single one, every desktop is asked for again (once per change, so a
//   manager that refuses is not asked in a loop).
class StateKeeper : public XcbWindowFilter {
public:
    StateKeeper(QWindow* window, xcb_connection_t* conn, xcb_atom_t netWmState,
                xcb_atom_t demandsAttention, xcb_atom_t desktop)
        : XcbWindowFilter(window, conn), m_netWmState(netWmState),
          m_demandsAttention(demandsAttention), m_desktop(desktop) {}

private:
    void onEvent(const xcb_generic_event_t& event) override {
        if ((event.response_type & 0x7f) != XCB_PROPERTY_NOTIFY) {
            return;
        }
        const auto* property = reinterpret_cast<const xcb_property_notify_event_t*>(&event);
        if (property->window != m_id || property->state != XCB_PROPERTY_NEW_VALUE) {
            return;
        }
        if (property->atom == m_netWmState) {
            withdrawAttention();
        } else if (property->atom == m_desktop) {
            keepOnEveryDesktop();
        }
    }

    void withdrawAttention() {
        const std::vector<xcb_atom_t> states = readStates(m_conn, m_id, m_netWmState);
        if (std::find(states.begin(), states.end(), m_demandsAttention) != states.end()) {
            sendToWindowManager(m_conn, m_id, m_netWmState, stateRemove, m_demandsAttention, 0);
            xcb_flush(m_conn);
        }
    }

    void keepOnEveryDesktop() {
        const std::uint32_t now = readDesktop(m_conn, m_id, m_desktop);
        if (now != allDesktops && now != m_lastDesktop) {
            sendToWindowManager(m_conn, m_id, m_desktop, allDesktops, 1, 0);
            xcb_flush(m_conn);
        }
        m_lastDesktop = now;
    }

    xcb_atom_t m_netWmState;
    xcb_atom_t m_demandsAttention;
    xcb_atom_t m_desktop;
    std::uint32_t m_lastDesktop = allDesktops;
};

} // namespace

// Qt 6.4 has no public call for "all workspaces" or "no taskbar entry", so the EWMH
// properties are written directly. Qt's Qt::Tool makes a utility window, which some window
// managers (mutter, xfwm4) keep out of the taskbar on their own and others (Openbox, KWin)
// list like any window: the card asks for it explicitly. On an unmapped window the
// properties are the request itself; Qt merges its own states (above, ...) into the existing
// _NET_WM_STATE when it maps the window. For a window already mapped, the window manager
// only listens to client messages on the root window.
bool stickMakeWindowSticky(QWindow* window) {
    xcb_connection_t* conn = x11Connection();
    if (!window || !conn) {
        return false;
    }
    const auto id = static_cast<xcb_window_t>(window->winId());
    const xcb_atom_t netWmState = x11Atom(conn, "_NET_WM_STATE");
    const xcb_atom_t desktop = x11Atom(conn, "_NET_WM_DESKTOP");
    const std::vector<xcb_atom_t> wanted{x11Atom(conn, "_NET_WM_STATE_STICKY"),
                                         x11Atom(conn, "_NET_WM_STATE_SKIP_TASKBAR"),
                                         x11Atom(conn, "_NET_WM_STATE_SKIP_PAGER")};
    if (netWmState == XCB_ATOM_NONE || desktop == XCB_ATOM_NONE ||
        std::find(wanted.begin(), wanted.end(), XCB_ATOM_NONE) != wanted.end()) {
        return false;
    }
    const xcb_atom_t demandsAttention = x11Atom(conn, "_NET_WM_STATE_DEMANDS_ATTENTION");

    if (!window->isVisible()) {
        // Keep whatever states are already requested and add each wanted one once.
        std::vector<xcb_atom_t> states = readStates(conn, id, netWmState);
        for (xcb_atom_t state : wanted) {
            if (std::find(states.begin(), states.end(), state) == states.end()) {
                states.push_back(state);
            }
        }
        xcb_change_property(conn, XCB_PROP_MODE_REPLACE, id, netWmState, XCB_ATOM_ATOM, 32,
                            static_cast<std::uint32_t>(states.size()), states.data());
        xcb_change_property(conn, XCB_PROP_MODE_REPLACE, id, desktop, XCB_ATOM_CARDINAL, 32, 1,
                            &allDesktops);
    } else {
        sendToWindowManager(conn, id, netWmState, stateAdd, wanted[0], 0);
        // One message carries at most two states.
        sendToWindowManager(conn, id, netWmState, stateAdd, wanted[1], wanted[2]);
        sendToWindowManager(conn, id, desktop, allDesktops, 1, 0);
    }
    xcb_flush(conn);
    // Not findChild<StateKeeper*>(): without Q_OBJECT it would match any child of the window.
    const QObjectList children = window->children();
    if (demandsAttention != XCB_ATOM_NONE &&
        std::none_of(children.begin(), children.end(),
                     [](QObject* child) { return dynamic_cast<StateKeeper*>(child); })) {
        new StateKeeper(window, conn, netWmState, demandsAttention, desktop);
    }
    return true;
}

#else

bool stickMakeWindowSticky(QWindow*) {
    return false;
}

#endif
