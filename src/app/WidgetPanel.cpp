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

    const QRect qt = scrRectToQt(frame, scrPrimaryHeight()).toAlignedRect();
    setGeometry(qt);
    setFixedSize(qt.size());

    speedView = new SpeedView(QRectF(QPointF(0, 0), frame.size()), this);
    speedView->hostPanel = this;
}

void WidgetPanel::present() {
    winId(); // the native window must exist before its initial state can be requested
    stickMakeWindowSticky(windowHandle());
    show();
}
