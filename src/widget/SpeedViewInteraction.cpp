// Pointer handling and the context menu of the widget. The Qt event handlers only turn an
// event into a screen point; the methods that take points carry the behaviour, so tests can
// drive them without synthesising events.

#include "Formatters.h"
#include "FrameString.h"
#include "ScreenCoords.h"
#include "SpeedView.h"
#include "WidgetGeometry.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QKeySequence>
#include <QMenu>
#include <QMouseEvent>
#include <QSettings>
#include <QWindow>

namespace {

QRectF windowFrame(const QWidget& window, double primaryHeight) {
    return scrRectFromQt(QRectF(window.geometry()), primaryHeight);
}

void setWindowOrigin(QWidget& window, QPointF origin, double primaryHeight) {
    const QRectF qt = scrRectToQt(QRectF(origin, QSizeF(window.size())), primaryHeight);
    window.move(qt.topLeft().toPoint());
}

std::optional<QRectF> visibleFrameForWindow(const QWidget& window, double primaryHeight) {
    if (auto screen = scrScreenForFrame(windowFrame(window, primaryHeight), scrAllScreens())) {
        return screen->visibleFrame;
    }
    return std::nullopt;
}

} // namespace

QWidget* SpeedView::hostWindow() const {
    QWidget* top = hostPanel ? hostPanel.data() : window();
    // A widget that has never had a native window is not on the display yet.
    return top->windowHandle() ? top : nullptr;
}

void SpeedView::mouseDown(QPointF screenPoint) {
    QWidget* w = hostWindow();
    if (!w) {
        return;
    }
    const QRectF frame = windowFrame(*w, scrPrimaryHeight());
    dragStartScreen = screenPoint;
    dragOffset = screenPoint - frame.topLeft(); // topLeft() is the origin: minimum x and y
    dragMoved = false;
    dragging = true;
}

void SpeedView::mouseDragged(QPointF screenPoint) {
    if (!dragging) {
        return;
    }
    QWidget* w = hostWindow();
    if (!w) {
        return;
    }
    if (geomDragExceedsThreshold(screenPoint, dragStartScreen)) {
        dragMoved = true;
    }
    const double primaryHeight = scrPrimaryHeight();
    const QPointF origin = geomDragOrigin(screenPoint, dragOffset, w->height(),
                                          visibleFrameForWindow(*w, primaryHeight));
    setWindowOrigin(*w, origin, primaryHeight);
}

void SpeedView::mouseUp(QPointF) {
    if (!dragging) {
        return;
    }
    dragging = false;
    saveExpandedFrame();
}

void SpeedView::saveExpandedFrame() {
    QWidget* w = hostWindow();
    if (!w) {
        return;
    }
    QSettings settings(QString::fromLatin1(frameSettingsOrganization),
                       QString::fromLatin1(frameSettingsApplication));
    settings.setValue(QString::fromLatin1(frameSettingsKey),
                      frameToString(windowFrame(*w, scrPrimaryHeight())));
}

void SpeedView::resetStats() {
    peakUp = 0;
    peakDown = 0;
    totalUp = 0;
    totalDown = 0;
    upHistory.fill(0);
    downHistory.fill(0);
    update();
}

std::unique_ptr<QMenu> SpeedView::buildMenu() {
    // The view as parent makes the menu a transient of the panel, which Wayland needs to
    // place a popup at all; the caller still owns it.
    auto menu = std::make_unique<QMenu>(this);
    QAction* peaks =
        menu->addAction(tr("峰值  ↑ %1    ↓ %2").arg(fmtSpeed(peakUp), fmtSpeed(peakDown)));
    peaks->setEnabled(false);
    QAction* totals =
        menu->addAction(tr("累计  ↑ %1    ↓ %2").arg(fmtBytes(totalUp), fmtBytes(totalDown)));
    totals->setEnabled(false);
    menu->addSeparator();
    QAction* reset = menu->addAction(tr("重置统计"));
    connect(reset, &QAction::triggered, this, &SpeedView::resetStats);
    if (openHistory) {
        QAction* history = menu->addAction(tr("流量统计…"));
        connect(history, &QAction::triggered, this, [this] {
            if (openHistory) {
                openHistory();
            }
        });
    }
    if (openAllowance) {
        QAction* allowance = menu->addAction(tr("流量配额…"));
        connect(allowance, &QAction::triggered, this, [this] {
            if (openAllowance) {
                openAllowance();
            }
        });
    }
    if (isAutostartEnabled && setAutostartEnabled) {
        QAction* login = menu->addAction(tr("登录时启动"));
        login->setCheckable(true);
        // Read when the menu is built, so the mark follows the entry on disk even if the
        // user removed it by hand meanwhile.
        login->setChecked(isAutostartEnabled());
        connect(login, &QAction::toggled, this, [this](bool on) {
            if (setAutostartEnabled) {
                setAutostartEnabled(on);
            }
        });
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
    connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    return menu;
}

void SpeedView::showContextMenu(QPointF pointer) {
    std::unique_ptr<QMenu> menu = buildMenu();
    const double primaryHeight = scrPrimaryHeight();
    QPointF topLeft = pointer;
    if (QWidget* w = hostWindow()) {
        if (auto visible = visibleFrameForWindow(*w, primaryHeight)) {
            const QRectF viewInQt(QPointF(mapToGlobal(QPointF(0, 0))), QSizeF(size()));
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
