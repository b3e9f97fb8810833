#include "PanelFrame.h"

#include "ScreenCoords.h"

#include <QVariant>
#include <QWidget>

namespace {

// Kept on the window itself, so it lives and dies with it.
constexpr char placedOriginProperty[] = "quillfernPlacedOrigin";

} // namespace

void panelPlaceWindow(QWidget& window, QPointF origin) {
    window.setProperty(placedOriginProperty, origin);
    const QRectF qt = scrRectToQt(QRectF(origin, QSizeF(window.size())), scrPrimaryHeight());
    window.move(QPoint(qRound(qt.x()), qRound(qt.y())));
}

QRectF panelWindowFrame(const QWidget& window) {
    const QVariant placed = window.property(placedOriginProperty);
    if (placed.isValid()) {
        return QRectF(placed.toPointF(), QSizeF(window.size()));
    }
    return scrRectFromQt(QRectF(window.geometry()), scrPrimaryHeight());
}
