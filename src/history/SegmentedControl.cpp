#include "SegmentedControl.h"

#include "TrafficTheme.h"

#include <QButtonGroup>
#include <QFocusEvent>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

namespace {

constexpr double kRadius = 7;

QColor white(float w, float a) {
    return QColor::fromRgbF(w, w, w, a);
}

// One segment: draws its own fill and one or two centred lines of text.
class SegmentButton : public QAbstractButton {
public:
    explicit SegmentButton(QWidget* parent) : QAbstractButton(parent) {
        setCheckable(true);
        setFocusPolicy(Qt::TabFocus);
        setFont(historyFont(11, QFont::Medium, true));
        setAttribute(Qt::WA_Hover);
    }

protected:
    // The ring marks where the keyboard is, not the focus a window hands out when it opens.
    void focusInEvent(QFocusEvent* event) override {
        m_keyboardFocus = event->reason() == Qt::TabFocusReason ||
                          event->reason() == Qt::BacktabFocusReason ||
                          event->reason() == Qt::ShortcutFocusReason;
        QAbstractButton::focusInEvent(event);
    }

    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF r = QRectF(rect()).adjusted(2, 2, -2, -2);
        if (isChecked() || isDown() || underMouse()) {
            QPainterPath path;
            path.addRoundedRect(r, kRadius - 2, kRadius - 2);
            QColor fill = isChecked() ? white(1, 0.16f) : white(1, isDown() ? 0.10f : 0.05f);
            p.fillPath(path, fill);
            if (isChecked()) {
                p.strokePath(path, QPen(white(1, 0.10f), 1));
            }
        }
        if (hasFocus() && m_keyboardFocus) {
            QPainterPath path;
            path.addRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), kRadius - 2, kRadius - 2);
            p.strokePath(path, QPen(TrafficTheme::downBlue(), 1.5));
        }

        const QStringList lines = text().split(QLatin1Char('\n'));
        const QFontMetricsF fm(font());
        const double lineH = fm.height() - 1;
        double y = (height() - lineH * static_cast<double>(lines.size())) / 2;
        for (int i = 0; i < lines.size(); ++i) {
            // The first line names the day; the second, fainter, is its total.
            QFont f = font();
            if (i > 0) {
                f.setWeight(QFont::Normal);
                f.setPixelSize(std::max(1, font().pixelSize() - 1));
            }
            p.setFont(f);
            const QColor base =
                i == 0 ? TrafficTheme::textPrimary() : TrafficTheme::textSecondary();
            p.setPen(isChecked()
                         ? base
                         : (i == 0 ? TrafficTheme::textSecondary() : TrafficTheme::textDim()));
            const QFontMetricsF lfm(f);
            const QString t = lfm.elidedText(lines[i], Qt::ElideRight, width() - 6);
            const double x = (width() - lfm.horizontalAdvance(t)) / 2;
            p.drawText(QPointF(x, y + lfm.ascent()), t);
            y += lineH;
        }
    }

private:
    bool m_keyboardFocus = false;
};

} // namespace

SegmentedControl::SegmentedControl(QWidget* parent)
    : QWidget(parent), m_group(new QButtonGroup(this)) {
    m_group->setExclusive(true);
    connect(m_group, &QButtonGroup::idClicked, this, &SegmentedControl::activated);
    // The separators beside the selected segment change with the selection.
    connect(m_group, &QButtonGroup::idToggled, this, [this](int, bool) { update(); });
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

int SegmentedControl::segmentCount() const {
    return static_cast<int>(m_buttons.size());
}

void SegmentedControl::setSegmentCount(int count) {
    count = std::max(0, count);
    while (segmentCount() > count) {
        QAbstractButton* b = m_buttons.back();
        m_buttons.pop_back();
        m_widths.pop_back();
        m_group->removeButton(b);
        delete b;
    }
    while (segmentCount() < count) {
        auto* b = new SegmentButton(this);
        m_group->addButton(b, segmentCount());
        m_buttons.push_back(b);
        m_widths.push_back(0);
        b->show();
    }
    layoutSegments();
    update();
}

QString SegmentedControl::label(int segment) const {
    return segmentButton(segment) ? segmentButton(segment)->text() : QString();
}

void SegmentedControl::setLabel(const QString& text, int segment) {
    if (auto* b = segmentButton(segment)) {
        b->setText(text);
        b->setToolTip(QString(text).replace(QLatin1Char('\n'), QLatin1Char(' ')));
    }
}

double SegmentedControl::segmentWidth(int segment) const {
    return segment >= 0 && segment < segmentCount() ? m_widths[static_cast<std::size_t>(segment)]
                                                    : 0.0;
}

void SegmentedControl::setSegmentWidth(double w, int segment) {
    if (segment >= 0 && segment < segmentCount()) {
        m_widths[static_cast<std::size_t>(segment)] = std::max(0.0, w);
        layoutSegments();
        update();
    }
}

int SegmentedControl::selectedSegment() const {
    return m_group->checkedId();
}

void SegmentedControl::setSelectedSegment(int segment) {
    if (auto* b = segmentButton(segment)) {
        b->setChecked(true);
        return;
    }
    if (auto* checked = m_group->checkedButton()) {
        // An exclusive group refuses to uncheck its last button.
        m_group->setExclusive(false);
        checked->setChecked(false);
        m_group->setExclusive(true);
    }
}

QAbstractButton* SegmentedControl::segmentButton(int segment) const {
    return segment >= 0 && segment < segmentCount() ? m_buttons[static_cast<std::size_t>(segment)]
                                                    : nullptr;
}

QSize SegmentedControl::sizeHint() const {
    double total = 0;
    for (double w : m_widths) {
        total += w;
    }
    return {static_cast<int>(std::ceil(total)), 32};
}

QSize SegmentedControl::minimumSizeHint() const {
    return {0, 32};
}

void SegmentedControl::resizeEvent(QResizeEvent*) {
    layoutSegments();
}

void SegmentedControl::layoutSegments() {
    double total = 0;
    for (double w : m_widths) {
        total += w;
    }
    // The segments sit centred as one group; edges are rounded from the running sum so
    // fractional widths neither drift nor leave gaps.
    const double left = std::max(0.0, (width() - total) / 2);
    double edge = left;
    for (std::size_t i = 0; i < m_buttons.size(); ++i) {
        const int x0 = static_cast<int>(std::lround(edge));
        edge += m_widths[i];
        const int x1 = static_cast<int>(std::lround(edge));
        m_buttons[i]->setGeometry(x0, 0, x1 - x0, height());
    }
}

void SegmentedControl::paintEvent(QPaintEvent*) {
    if (m_buttons.empty()) {
        return;
    }
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRect first = m_buttons.front()->geometry();
    const QRect last = m_buttons.back()->geometry();
    const QRectF track = QRectF(first.left(), 0, last.right() + 1 - first.left(), height())
                             .adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath path;
    path.addRoundedRect(track, kRadius, kRadius);
    p.fillPath(path, white(1, 0.045f));
    p.strokePath(path, QPen(white(1, 0.08f), 1));

    // Hairline separators, hidden next to the selected segment like a native control.
    const int sel = selectedSegment();
    p.setPen(QPen(white(1, 0.08f), 1));
    for (int i = 1; i < segmentCount(); ++i) {
        if (i == sel || i - 1 == sel) {
            continue;
        }
        const double x = m_buttons[static_cast<std::size_t>(i)]->geometry().left();
        p.drawLine(QPointF(x, 8), QPointF(x, height() - 8));
    }
}
