#pragma once

#include "SpeedStats.h"

#include <QColor>
#include <QPointF>
#include <QPointer>
#include <QRectF>
#include <QSizeF>
#include <QWidget>

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
