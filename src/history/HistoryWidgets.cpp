#include "HistoryWidgets.h"

#include "TrafficTheme.h"

#include <QEvent>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>

void HeaderCard::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = rect();
    QPainterPath path;
    path.addRoundedRect(r, 14, 14);
    QLinearGradient grad(r.topLeft(), r.bottomRight());
    grad.setColorAt(0, QColor::fromRgbF(0.17f, 0.22f, 0.34f, 1.0f));
    grad.setColorAt(1, QColor::fromRgbF(0.09f, 0.11f, 0.18f, 1.0f));
    p.setClipPath(path);
    p.fillRect(r, grad);
}

void AllowanceBar::setFraction(double fraction) {
    m_fraction = fraction;
    update();
}

void AllowanceBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = rect();
    const double radius = r.height() / 2;
    QPainterPath track;
    track.addRoundedRect(r, radius, radius);
    p.fillPath(track, QColor::fromRgbF(1, 1, 1, 0.12f));
    const double f = std::clamp(m_fraction, 0.0, 1.0);
    if (f <= 0) {
        return;
    }
    const QColor fill = m_fraction >= 1.0   ? QColor::fromRgbF(0.95f, 0.36f, 0.36f)
                        : m_fraction >= 0.8 ? QColor::fromRgbF(0.98f, 0.72f, 0.3f)
                                            : TrafficTheme::downBlue();
    QPainterPath used;
    used.addRoundedRect(QRectF(r.left(), r.top(), std::max(r.height(), r.width() * f), r.height()),
                        radius, radius);
    p.fillPath(used, fill);
}

void ElidingLabel::setText(const QString& text) {
    m_text = text;
    setToolTip(text);
    update();
}

QSize ElidingLabel::sizeHint() const {
    const QMargins m = contentsMargins();
    return {fontMetrics().horizontalAdvance(m_text) + m.left() + m.right(),
            fontMetrics().height() + m.top() + m.bottom()};
}

QSize ElidingLabel::minimumSizeHint() const {
    return {0, sizeHint().height()};
}

void ElidingLabel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRect r = contentsRect();
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(r, Qt::AlignLeft | Qt::AlignVCenter,
               fontMetrics().elidedText(m_text, Qt::ElideRight, r.width()));
}

VerticalScrollArea::VerticalScrollArea(QWidget* parent) : QScrollArea(parent) {
    setWidgetResizable(false);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setAutoFillBackground(false);
    viewport()->setAutoFillBackground(false);
}

bool VerticalScrollArea::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::Resize && widget()) {
        widget()->resize(viewport()->width(), widget()->height());
    }
    return QScrollArea::viewportEvent(event);
}
