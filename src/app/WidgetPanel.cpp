#include "WidgetPanel.h"

#include "ScreenCoords.h"
#include "SpeedView.h"
#include "WindowSticky.h"

WidgetPanel::WidgetPanel(const QRectF& frame)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::WindowDoesNotAcceptFocus | Qt::NoDropShadowWindowHint) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowTitle(QStringLiteral("Quillfern"));

    // Windows sit on whole pixels: round the corner and the size each on its own, so a
    // fractional stored frame neither grows nor shifts by more than half a pixel.
    const QRectF qt = scrRectToQt(frame, scrPrimaryHeight());
    const QSize size(qRound(qt.width()), qRound(qt.height()));
    setFixedSize(size);
    setGeometry(QRect(QPoint(qRound(qt.x()), qRound(qt.y())), size));

    m_speedView = new SpeedView(QRectF(QPointF(0, 0), QSizeF(size)), this);
    m_speedView->setHostPanel(this);
}

void WidgetPanel::present() {
    winId(); // the native window must exist before its initial state can be requested
    stickMakeWindowSticky(windowHandle());
    show();
}
