// Pointer handling and the context menu of the widget. The Qt event handlers only turn an
// event into a screen point; the methods that take points carry the behaviour, so tests can
// drive them without synthesising events.

#include "AppSettings.h"
#include "Formatters.h"
#include "FrameString.h"
#include "PanelFrame.h"
#include "ScreenCoords.h"
#include "SpeedView.h"
#include "WidgetGeometry.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QKeySequence>
#include <QMenu>
#include <QMouseEvent>
#include <QWindow>

namespace {

std::optional<QRectF> visibleFrameForWindow(const QWidget& window) {
    if (auto screen = scrScreenForFrame(panelWindowFrame(window), scrAllScreens())) {
        return screen->visibleFrame;
    }
    return std::nullopt;
}

} // namespace

QWidget* SpeedView::hostWindow() const {
    QWidget* top = m_hostPanel ? m_hostPanel.data() : window();
    // A widget that has never had a native window is not on the display yet.
    return top->windowHandle() ? top : nullptr;
}

void SpeedView::mouseDown(QPointF screenPoint) {
    QWidget* w = hostWindow();
    if (!w) {
        return;
    }
    const QRectF frame = panelWindowFrame(*w);
    m_dragStartScreen = screenPoint;
    m_dragOffset = screenPoint - frame.topLeft(); // topLeft() is the origin: minimum x and y
    m_dragMoved = false;
    m_dragging = true;
}

void SpeedView::mouseDragged(QPointF screenPoint) {
    if (!m_dragging) {
        return;
    }
    QWidget* w = hostWindow();
    if (!w) {
        return;
    }
    if (geomDragExceedsThreshold(screenPoint, m_dragStartScreen)) {
        m_dragMoved = true;
    }
    panelPlaceWindow(
        *w, geomDragOrigin(screenPoint, m_dragOffset, w->height(), visibleFrameForWindow(*w)));
}

void SpeedView::mouseUp(QPointF) {
    if (!m_dragging) {
        return;
    }
    m_dragging = false;
    saveExpandedFrame();
}

void SpeedView::saveExpandedFrame() {
    QWidget* w = hostWindow();
    if (!w) {
        return;
    }
    AppSettings().setValue(QString::fromLatin1(settingsKeys::frame),
                           frameToString(panelWindowFrame(*w)));
}

std::unique_ptr<QMenu> SpeedView::buildMenu() {
    // The view as parent makes the menu a transient of the panel, which Wayland needs to
    // place a popup at all; the caller still owns it.
    auto menu = std::make_unique<QMenu>(this);
    QAction* peaks = menu->addAction(
        tr("峰值  ↑ %1    ↓ %2").arg(fmtSpeed(m_stats.peakUp), fmtSpeed(m_stats.peakDown)));
    peaks->setEnabled(false);
    QAction* totals = menu->addAction(
        tr("累计  ↑ %1    ↓ %2").arg(fmtBytes(m_stats.totalUp), fmtBytes(m_stats.totalDown)));
    totals->setEnabled(false);
    menu->addSeparator();
    QAction* reset = menu->addAction(tr("重置统计"));
    connect(reset, &QAction::triggered, this, &SpeedView::resetRequested);
    if (m_historyItemShown) {
        QAction* history = menu->addAction(tr("流量统计…"));
        connect(history, &QAction::triggered, this, &SpeedView::historyRequested);
    }
    if (m_allowanceItemShown) {
        QAction* allowance = menu->addAction(tr("流量配额…"));
        connect(allowance, &QAction::triggered, this, &SpeedView::allowanceRequested);
    }
    if (m_loginItemState) {
        QAction* login = menu->addAction(tr("登录时启动"));
        login->setCheckable(true);
        login->setChecked(m_loginItemState());
        connect(login, &QAction::toggled, this, &SpeedView::loginItemToggled);
    }
    // Last of the items, so the ones above keep their places for keyboard users.
    if (addInterfaceMenu) {
        addInterfaceMenu(*menu);
    }
    menu->addSeparator();
    QAction* quit = menu->addAction(tr("退出羽蕨"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setShortcutVisibleInContextMenu(true);
    // Qt matches the shortcuts of a context menu's own actions only through a menu bar, so
    // the key would be shown but dead. Tied to the view as well, it works while the menu is
    // open (and only then: the action goes with the menu).
    quit->setShortcutContext(Qt::ApplicationShortcut);
    addAction(quit);
    // Queued: the menu's own event loop must unwind before whoever listens ends the program.
    connect(quit, &QAction::triggered, this, &SpeedView::quitRequested, Qt::QueuedConnection);
    return menu;
}

void SpeedView::showContextMenu(QPointF pointer) {
    std::unique_ptr<QMenu> menu = buildMenu();
    const double primaryHeight = scrPrimaryHeight();
    QPointF topLeft = pointer;
    if (QWidget* w = hostWindow()) {
        if (auto visible = visibleFrameForWindow(*w)) {
            // From where the panel was placed, not mapToGlobal(): that asks Qt's idea of
            // the window's position, which a reparenting window manager can leave wrong.
            const QRectF windowInQt = scrRectToQt(panelWindowFrame(*w), primaryHeight);
            const QRectF viewInQt(windowInQt.topLeft() + QPointF(mapTo(w, QPoint(0, 0))),
                                  QSizeF(size()));
            topLeft = geomMenuTopLeft(scrRectFromQt(viewInQt, primaryHeight), *visible,
                                      static_cast<int>(menu->actions().size()));
        }
    }
    menu->exec(scrPointToQt(topLeft, primaryHeight).toPoint());
}

void SpeedView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    event->accept();
    if (!scrClientPlacesWindows()) {
        // The compositor moves the window; where it ends up is not ours to know or store.
        if (QWidget* w = hostWindow()) {
            w->windowHandle()->startSystemMove();
        }
        return;
    }
    mouseDown(scrPointFromQt(event->globalPosition(), scrPrimaryHeight()));
}

void SpeedView::mouseMoveEvent(QMouseEvent* event) {
    event->accept();
    mouseDragged(scrPointFromQt(event->globalPosition(), scrPrimaryHeight()));
}

void SpeedView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    event->accept();
    mouseUp(scrPointFromQt(event->globalPosition(), scrPrimaryHeight()));
}

void SpeedView::contextMenuEvent(QContextMenuEvent* event) {
    event->accept();
    showContextMenu(scrPointFromQt(QPointF(event->globalPos()), scrPrimaryHeight()));
}
