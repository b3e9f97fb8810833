#include "PanelFrame.h"

#include "CompositorIpc.h"
#include "ScreenCoords.h"

#include <QVariant>
#include <QWidget>

namespace {

// Kept on the window itself, so it lives and dies with it.
constexpr char placedOriginProperty[] = "quillfernPlacedOrigin";

} // namespace

void panelPlaceWindow(QWidget& window, QPointF origin) {
    window.setProperty(placedOriginProperty, origin);
    // A compositor that took the card moves it on request; it would centre a moved window.
    if (!ipcMoveCard(window.windowHandle(), panelQtTopLeft(window))) {
        window.move(panelQtTopLeft(window));
    }
}

QPoint panelQtTopLeft(const QWidget& window) {
    const QRectF qt = scrRectToQt(panelWindowFrame(window), scrPrimaryHeight());
    return {qRound(qt.x()), qRound(qt.y())};
}

QRectF panelWindowFrame(const QWidget& window) {
    const QVariant placed = window.property(placedOriginProperty);
    if (placed.isValid()) {
        return QRectF(placed.toPointF(), QSizeF(window.size()));
    }
    return scrRectFromQt(QRectF(window.geometry()), scrPrimaryHeight());
}
