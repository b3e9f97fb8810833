#include "FramePin.h"

#include <QWindow>

#ifdef QUILLFERN_HAVE_XCB
#include "XcbWindowFilter.h"

namespace {

// _NET_MOVERESIZE_WINDOW's first word: gravity in the low byte, then which values count and
// who asks.
constexpr std::uint32_t staticGravity = 10; // x and y are the window's own corner
constexpr std::uint32_t givesX = 1u << 8;
constexpr std::uint32_t givesY = 1u << 9;
constexpr std::uint32_t fromApplication = 1u << 12;

class FramePin : public XcbWindowFilter {
public:
    FramePin(QWindow* window, xcb_connection_t* conn, xcb_atom_t moveResize,
             std::function<QPoint()> wanted)
        : XcbWindowFilter(window, conn), m_moveResize(moveResize), m_wanted(std::move(wanted)) {}

private:
    void onEvent(const xcb_generic_event_t& event) override {
        if ((event.response_type & 0x7f) != XCB_REPARENT_NOTIFY) {
            return;
        }
        const auto* reparent = reinterpret_cast<const xcb_reparent_notify_event_t*>(&event);
        if (reparent->window == m_id && reparent->parent != rootOf()) {
            // The manager reparents while it takes the window in and reads this request
            // after it is done, so the request lands on the finished frame.
            askForPlace();
        }
    }

    xcb_window_t rootOf() const {
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(m_conn)).data;
        return screen ? screen->root : XCB_NONE;
    }

    void askForPlace() {
        const QWindow* window = static_cast<QWindow*>(parent());
        // X11 counts device pixels; the program places in logical ones.
        const QPoint at = m_wanted() * window->devicePixelRatio();
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = m_id;
        message.type = m_moveResize;
        message.data.data32[0] = staticGravity | givesX | givesY | fromApplication;
        message.data.data32[1] = static_cast<std::uint32_t>(at.x());
        message.data.data32[2] = static_cast<std::uint32_t>(at.y());
        xcb_send_event(m_conn, 0, rootOf(),
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&message));
        xcb_flush(m_conn);
    }

    xcb_atom_t m_moveResize;
    std::function<QPoint()> m_wanted;
};

} // namespace

bool pinToPlacedOrigin(QWindow* window, std::function<QPoint()> wantedTopLeft) {
    xcb_connection_t* conn = x11Connection();
    if (!window || !conn || !wantedTopLeft) {
        return false;
    }
    const xcb_atom_t atom = x11Atom(conn, "_NET_MOVERESIZE_WINDOW");
    if (atom == XCB_ATOM_NONE) {
        return false;
    }
    new FramePin(window, conn, atom, std::move(wantedTopLeft));
    return true;
}

#else

bool pinToPlacedOrigin(QWindow*, std::function<QPoint()>) {
    return false;
}

#endif
