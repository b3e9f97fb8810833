#pragma once

#include "SpeedStats.h"

#include <QPointF>
#include <QPointer>
#include <QRectF>
#include <QSizeF>
#include <QWidget>
#include <functional>
#include <memory>

class QMenu;

// The whole visible widget: a dark translucent card with the two rates and a 60-bar graph.
// It shows the statistics it is given and reports what the user asks of its menu; whoever
// owns the statistics answers (the tick writes them, a reset clears them).
class SpeedView : public QWidget {
    Q_OBJECT
public:
    static constexpr QSizeF widgetSize{216, 92};
    static constexpr double cornerRadius = 22;

    explicit SpeedView(const QRectF& frame = QRectF(QPointF(0, 0), widgetSize),
                       QWidget* parent = nullptr);
    ~SpeedView() override;

    // What the card shows, and what the menu's statistics lines read.
    const SpeedStats& stats() const { return m_stats; }
    void setStats(const SpeedStats& stats);

    // The panel that hosts the view (not owned; clears itself when the panel goes).
    void setHostPanel(QWidget* panel) { m_hostPanel = panel; }

    // Paints the whole view; the paint event and tests call it.
    void draw(class QPainter& painter) const;

    // Which optional items the menu offers. The login item's mark is asked for each time a
    // menu is built, so it follows the entry on disk even if the user removed it by hand.
    void setHistoryItemShown(bool shown) { m_historyItemShown = shown; }
    void setAllowanceItemShown(bool shown) { m_allowanceItemShown = shown; }
    void setLoginItemState(std::function<bool()> isEnabled) {
        m_loginItemState = std::move(isEnabled);
    }

    // A new context menu with the statistics of this moment. Owned by the caller.
    std::unique_ptr<QMenu> buildMenu();
    // Adds the submenu of counted links before Quit, when set.
    std::function<void(QMenu&)> addInterfaceMenu;

signals:
    void resetRequested();
    void historyRequested();
    void allowanceRequested();
    void loginItemToggled(bool on);
    void quitRequested();

protected:
    void paintEvent(class QPaintEvent* event) override;
    // A left press and drag move the panel with the pointer (kept vertically inside the
    // visible area of its screen); every release stores the panel frame (SpeedViewInteraction.cpp).
    void mousePressEvent(class QMouseEvent* event) override;
    void mouseMoveEvent(class QMouseEvent* event) override;
    void mouseReleaseEvent(class QMouseEvent* event) override;
    void contextMenuEvent(class QContextMenuEvent* event) override;

private:
    struct FrameCache;

    // The window the view moves and whose frame it stores: the host panel (or the view's
    // own top-level window); none until that window exists on the display.
    QWidget* hostWindow() const;
    void saveExpandedFrame();
    // Builds, places and runs the menu at `pointer` (screen coordinates, y up) when the
    // view has no window on a screen; returns when it closes.
    void showContextMenu(QPointF pointer);

    SpeedStats m_stats;
    QPointer<QWidget> m_hostPanel;
    bool m_historyItemShown = false;
    bool m_allowanceItemShown = false;
    std::function<bool()> m_loginItemState;
    // The picture as last drawn; painting is const, the cache is not what it shows.
    std::unique_ptr<FrameCache> m_frameCache;

    // Drag state (SpeedViewInteraction.cpp).
    bool m_dragging = false;
    QPointF m_dragOffset;
};
