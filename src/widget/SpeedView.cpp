#include "SpeedView.h"

#include "Formatters.h"
#include "SpeedGraph.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStringList>

namespace {

constexpr int kFontPixelSize = 13;

bool hasTabularDigits(const QFont& font) {
    const QFontMetricsF fm(font);
    const qreal zero = fm.horizontalAdvance(QLatin1Char('0'));
    for (char c = '1'; c <= '9'; ++c) {
        if (fm.horizontalAdvance(QLatin1Char(c)) != zero) {
            return false;
        }
    }
    return zero > 0;
}

QFont valueFontFor(const QString& family) {
    QFont f(family);
    f.setPixelSize(kFontPixelSize);
    f.setWeight(QFont::DemiBold);
    f.setStyleStrategy(QFont::PreferAntialias);
    return f;
}

// Qt 6.4 cannot switch a font to tabular figures, so the rate text uses the first family
// whose digits already share one advance; otherwise the numbers would jitter every second.
// Decided once: the answer depends only on the installed fonts.
QString valueFontFamily() {
    static const QString family = [] {
        const QString system = QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
        const QStringList candidates{system, QStringLiteral("DejaVu Sans"),
                                     QStringLiteral("Noto Sans"),
                                     QStringLiteral("Liberation Sans")};
        for (const QString& name : candidates) {
            const QFont f = valueFontFor(name);
            const QString resolved = QFontInfo(f).family();
            // The desktop's font may be an alias ("Sans Serif"); any other name must be the
            // family itself, not whatever the font matcher substituted for a missing one.
            const bool real = name == system || resolved.compare(name, Qt::CaseInsensitive) == 0;
            if (real && hasTabularDigits(f)) {
                return resolved;
            }
        }
        return QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
    }();
    return family;
}

QFont arrowFont() {
    QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    f.setPixelSize(kFontPixelSize);
    f.setWeight(QFont::Bold);
    f.setStyleStrategy(QFont::PreferAntialias);
    return f;
}

// Text placed by the top-left corner of its line box, as the layout's points are given.
void drawTextAt(QPainter& p, const QPointF& topLeft, const QString& text, const QFont& font,
                const QColor& color) {
    p.setFont(font);
    p.setPen(color);
    p.drawText(QPointF(topLeft.x(), topLeft.y() + QFontMetricsF(font).ascent()), text);
}

} // namespace

SpeedView::SpeedView(const QRectF& frame, QWidget* parent) : QWidget(parent) {
    // Only the rounded card is painted; the corners outside it must stay see-through.
    setAttribute(Qt::WA_TranslucentBackground);
    setAutoFillBackground(false);
    const QRect r = frame.toAlignedRect();
    move(r.topLeft());
    setFixedSize(r.size());
}

SpeedView::~SpeedView() = default;

void SpeedView::paintEvent(QPaintEvent* event) {
    Q_UNUSED(event); // always redrawn in full
    QPainter p(this);
    draw(p);
}

void SpeedView::draw(QPainter& p) const {
    p.save();
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);

    // Card.
    const QRectF card = QRectF(0, 0, width(), height()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath cardPath;
    cardPath.addRoundedRect(card, 22, 22);
    p.fillPath(cardPath, QColor::fromRgbF(0.07f, 0.07f, 0.07f, 0.82f));
    QPen outline(QColor::fromRgbF(1.0f, 1.0f, 1.0f, 0.13f));
    outline.setWidthF(1);
    p.strokePath(cardPath, outline);

    // Rates.
    const QFont arrow = arrowFont();
    const QFont value = valueFontFor(valueFontFamily());
    const QColor white(Qt::white);
    drawTextAt(p, {14, 12}, QStringLiteral("\u2191"), arrow, upColor);
    drawTextAt(p, {34, 12}, fmtSpeed(uploadSpeed), value, white);
    drawTextAt(p, {14, 35}, QStringLiteral("\u2193"), arrow, downColor);
    drawTextAt(p, {34, 35}, fmtSpeed(downloadSpeed), value, white);

    // History graph.
    const GraphLayout g = graphLayout(upHistory, downHistory, width());
    const QBrush downFill(QColor::fromRgbF(0.35f, 0.64f, 1.0f, 0.75f));
    const QBrush upFill(QColor::fromRgbF(0.3f, 0.85f, 0.52f, 0.75f));
    p.setPen(Qt::NoPen);
    for (const GraphBar& bar : g.bars) {
        // A part of no height paints nothing; skipping it saves most of the paths.
        if (bar.down.height() > 0) {
            p.setBrush(downFill);
            p.drawRoundedRect(bar.down, 1, 1);
        }
        if (bar.up.height() > 0) {
            p.setBrush(upFill);
            p.drawRoundedRect(bar.up, 1, 1);
        }
    }
    p.restore();
}
