#pragma once

#include "SpeedStats.h"

#include <QColor>
#include <QPointF>
#include <QPointer>
#include <QRectF>
#include <QSizeF>
#include <QWidget>
#include <functional>
#include <memory>

class QMenu;

// The whole visible widget: a dark translucent card with the two rates and a 60-bar graph.
// The statistics fields come from SpeedStats; the one-second tick writes them.
class SpeedView : public QWidget, public SpeedStats {
    Q_OBJECT
public:
    static constexpr QSizeF widgetSize{216, 92};

    explicit SpeedView(const QRectF& frame = QRectF(QPointF(0, 0), widgetSize),
                       QWidget* parent = nullptr);
    ~SpeedView() override;

    // The panel that hosts the view (not owned; clears itself when the panel goes).
    QPointer<QWidget> hostPanel;

    // Paints the whole view; the paint event and tests call it.
    void draw(class QPainter& painter) const;

    // ---- Pointer handling and menu (SpeedViewInteraction.cpp). Points are in screen
    // coordinates: origin at the bottom-left of the primary screen, y up. Qt's handlers
    // convert and call these.

    // A press on the widget; a drag moves the panel with the pointer (vertically kept in
    // the visible area of its screen); every release stores the panel frame.
    void mouseDown(QPointF screenPoint);
    void mouseDragged(QPointF screenPoint);
    void mouseUp(QPointF screenPoint);

    // Clears peaks, totals and both histories; the current rates stay until the next tick.
    void resetStats();

    // A new context menu with the statistics of this moment. Owned by the caller.
    std::unique_ptr<QMenu> buildMenu();
    // Builds, places and runs the menu; returns when it closes. `pointer` is where the
    // menu opens when the view has no window on a screen.
    void showContextMenu(QPointF pointer);

    // Opens the traffic history; when set, the menu offers it.
    std::function<void()> openHistory;
    // Opens the monthly allowance settings; when set, the menu offers them.
    std::function<void()> openAllowance;
    // Starting at login; when both are set, the menu offers a check item for it.
    std::function<bool()> isAutostartEnabled;
    std::function<void(bool)> setAutostartEnabled;

    // The window the view moves and whose frame it stores: the host panel (or the view's
    // own top-level window); none until that window exists on the display.
    QWidget* hostWindow() const;
    bool isDragging() const { return dragging; }
    bool hasDragMoved() const { return dragMoved; }

protected:
    void mousePressEvent(class QMouseEvent* event) override;
    void mouseMoveEvent(class QMouseEvent* event) override;
    void mouseReleaseEvent(class QMouseEvent* event) override;
    void contextMenuEvent(class QContextMenuEvent* event) override;

private:
    void saveExpandedFrame();

protected:
    void paintEvent(class QPaintEvent* event) override;

private:
    const QColor upColor = QColor::fromRgbF(0.3f, 0.85f, 0.52f, 1.0f);
    const QColor downColor = QColor::fromRgbF(0.35f, 0.64f, 1.0f, 1.0f);

    // Drag state (SpeedViewInteraction.cpp).
    bool dragging = false;
    bool dragMoved = false;
    QPointF dragOffset;
    QPointF dragStartScreen;
};
