#include "WindowShape.h"

#include <QWindow>

#ifdef QUILLFERN_HAVE_XCB
#include "XcbWindowFilter.h"

#include <string>

namespace {

// The number of the X screen a window lives on: its root's place among the screens.
int screenNumberOf(xcb_connection_t* conn, xcb_window_t id) {
    xcb_query_tree_reply_t* tree = xcb_query_tree_reply(conn, xcb_query_tree(conn, id), nullptr);
    if (!tree) {
        return -1;
    }
    const xcb_window_t root = tree->root;
    std::free(tree);
    int n = 0;
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(conn)); it.rem;
         xcb_screen_next(&it), ++n) {
        if (it.data->root == root) {
            return n;
        }
    }
    return -1;
}

// The event code of XFixes' selection notification, without linking libxcb-xfixes: Qt
// already asks XFixes to report the compositing selection's owner changes to its own
// connection, so each such event passes through the application's native event filters.
int xfixesSelectionNotify(xcb_connection_t* conn) {
    constexpr char name[] = "XFIXES";
    xcb_query_extension_reply_t* reply =
        xcb_query_extension_reply(conn, xcb_query_extension(conn, sizeof name - 1, name), nullptr);
    const int code = reply && reply->present ? reply->first_event + 0 /* SelectionNotify */ : -1;
    std::free(reply);
    return code;
}

class CompositorWatch : public XcbWindowFilter {
public:
    CompositorWatch(QWindow* window, xcb_connection_t* conn, xcb_atom_t selection,
                    std::function<void(bool)> apply)
        : XcbWindowFilter(window, conn), m_selection(selection),
          m_notifyCode(xfixesSelectionNotify(conn)), m_apply(std::move(apply)) {
        m_composited = compositorRuns();
        m_apply(m_composited);
    }

private:
    void onEvent(const xcb_generic_event_t& event) override {
        // Any selection's news: asking is cheaper than decoding XFixes' event layout.
        if (m_notifyCode < 0 || (event.response_type & 0x7f) != m_notifyCode)
            return;
        const bool now = compositorRuns();
        if (now != m_composited) {
            m_composited = now;
            m_apply(now);
        }
    }

    bool compositorRuns() const {
        xcb_get_selection_owner_reply_t* reply = xcb_get_selection_owner_reply(
            m_conn, xcb_get_selection_owner(m_conn, m_selection), nullptr);
        const bool owned = reply && reply->owner != XCB_NONE;
        std::free(reply);
        return owned;
    }

    xcb_atom_t m_selection;
    int m_notifyCode;
    std::function<void(bool)> m_apply;
    bool m_composited = false;
};

} // namespace

bool shapeFollowCompositor(QWindow* window, std::function<void(bool)> apply) {
    xcb_connection_t* conn = x11Connection();
    if (!window || !conn || !apply) {
        return false;
    }
    const int screen = screenNumberOf(conn, static_cast<xcb_window_t>(window->winId()));
    const xcb_atom_t selection = screen < 0
                                     ? xcb_atom_t{XCB_ATOM_NONE}
                                     : x11Atom(conn, "_NET_WM_CM_S" + std::to_string(screen));
    if (selection == XCB_ATOM_NONE) {
        return false;
    }
    new CompositorWatch(window, conn, selection, std::move(apply));
    return true;
}

#else

bool shapeFollowCompositor(QWindow*, std::function<void(bool)>) {
    return false;
}

#endif
