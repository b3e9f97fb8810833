#include "WidgetPanel.h"

#include "CompositorIpc.h"
#include "FramePin.h"
#include "PanelFrame.h"
#include "SpeedView.h"
#include "WindowShape.h"
#include "WindowSticky.h"

WidgetPanel::WidgetPanel(const QRectF& frame)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::WindowDoesNotAcceptFocus | Qt::NoDropShadowWindowHint) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowTitle(QStringLiteral("Quillfern"));

    // Windows sit on whole pixels: round the corner and the size each on its own, so a
    // fractional frame neither grows nor shifts by more than half a pixel.
    const QSize size(qRound(frame.width()), qRound(frame.height()));
    setFixedSize(size);
    panelPlaceWindow(*this, frame.topLeft());

    m_speedView = new SpeedView(QRectF(QPointF(0, 0), QSizeF(size)), this);
    m_speedView->setHostPanel(this);
}

void WidgetPanel::present() {
    winId(); // the native window must exist before its initial state can be requested
    stickMakeWindowSticky(windowHandle());
    // sway places X11 windows by rules of its own, set before the card maps; X11 managers
    // by the hints, and once more after framing it for those that misplace it then.
    if (!ipcTakeCard(windowHandle(), panelQtTopLeft(*this))) {
        pinToPlacedOrigin(windowHandle(), [this] { return panelQtTopLeft(*this); });
    }
    shapeFollowCompositor(windowHandle(), [this](bool composited) {
        if (composited) {
            clearMask();
        } else {
            setMask(shapeRoundedRegion(size(), SpeedView::cornerRadius));
        }
    });
    show();
}
