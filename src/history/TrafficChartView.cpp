#include "TrafficChartView.h"

#include "DayKey.h"
#include "Formatters.h"
#include "TrafficTheme.h"

#include <QCoreApplication>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double kLeft = 58;
constexpr double kRight = 16;
constexpr double kTop = 26;
constexpr double kBottom = 42;
constexpr double kMaxPair = 38;

constexpr std::array<double, 11> kLadder = {
    1e6, 5e6, 1e7, 5e7, 1e8, 5e8, 1e9, 5e9, 1e10, 5e10, 1e11,
};

// Looked up on every draw, so a language installed later shows at the next paint.
QString emptyText() {
    return QCoreApplication::translate("TrafficChartView", "暂无数据");
}
QString downText() {
    return QCoreApplication::translate("TrafficChartView", "下载");
}
QString upText() {
    return QCoreApplication::translate("TrafficChartView", "上传");
}

} // namespace

double chartScale(const std::vector<ChartDayRecord>& days) {
    double m = 1;
    for (const auto& d : days) {
        m = std::max({m, static_cast<double>(d.bytes.in), static_cast<double>(d.bytes.out)});
    }
    for (double step : kLadder) {
        if (m <= step) {
            return step;
        }
    }
    return m * 1.1;
}

std::uint64_t chartGridValue(double scale, int k) {
    const double v = scale * (4 - k) * 0.25;
    // 2^64 is exact in a double; anything at or past it has no 64-bit count.
    if (!(v < 18446744073709551616.0)) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return v <= 0 ? 0 : static_cast<std::uint64_t>(v);
}

int chartLabelStep(double slotWidth, double widestLabel) {
    constexpr double kGap = 4;
    if (!(slotWidth > 0) || widestLabel + kGap <= slotWidth) {
        return 1;
    }
    return static_cast<int>(std::ceil((widestLabel + kGap) / slotWidth));
}

ChartGeometry chartGeometry(QSizeF size, const std::vector<ChartDayRecord>& days,
                            const ChartMetrics& m) {
    ChartGeometry g;
    const double W = size.width();
    const double H = size.height();
    g.card = QRectF(0, 0, W, H);
    g.empty = days.empty();
    if (g.empty) {
        g.emptyText = {emptyText(), QPointF((W - m.emptyTextSize.width()) / 2,
                                            (H - m.emptyTextSize.height()) / 2)};
        return g;
    }

    const auto n = static_cast<double>(days.size());
    g.slotWidth = (W - kLeft - kRight) / n;
    g.pairWidth = std::min(g.slotWidth - 10, kMaxPair);
    g.plotHeight = H - kTop - kBottom;
    g.plot = QRectF(kLeft, kTop, W - kLeft - kRight, g.plotHeight);
    g.scale = chartScale(days);

    const double h = g.plotHeight;
    const double zeroY = kTop + h;
    for (int k = 0; k < 5; ++k) {
        const double y = kTop + h * k * 0.25;
        auto& line = g.grid[static_cast<std::size_t>(k)];
        line.line = QLineF(kLeft, y, W - kRight, y);
        line.value = chartGridValue(g.scale, k);
        line.label = {fmtBytesTraffic(line.value), QPointF(4, y - 6)};
    }

    // A slot too narrow for a pair, or no room between the margins, leaves only the frame.
    const double p = g.pairWidth;
    if (p > 0 && h >= 0) {
        g.pairs.reserve(days.size());
        // Every label when they fit their slots (a week always does); otherwise every k-th,
        // counted back from the newest, so neighbours keep a gap and never overlap.
        std::vector<QString> labels;
        labels.reserve(days.size());
        double widest = 0;
        for (const auto& d : days) {
            labels.push_back(DayKey::label(d.date));
            widest = std::max(widest, m.dateLabelWidth ? m.dateLabelWidth(labels.back()) : 0.0);
        }
        g.labelStep = chartLabelStep(g.slotWidth, widest);
        for (std::size_t i = 0; i < days.size(); ++i) {
            const auto& d = days[i];
            const double x = kLeft + g.slotWidth * static_cast<double>(i) + (g.slotWidth - p) / 2;
            const double barW = 0.45 * p;
            const double downH = std::max(1.0, h * static_cast<double>(d.bytes.in) / g.scale);
            const double upH = std::max(1.0, h * static_cast<double>(d.bytes.out) / g.scale);
            ChartGeometry::Pair pair;
            pair.down = QRectF(x, zeroY - downH, barW, downH);
            pair.up = QRectF(x + p / 2, zeroY - upH, barW, upH);
            if ((days.size() - 1 - i) % static_cast<std::size_t>(g.labelStep) == 0) {
                const QString& label = labels[i];
                const double lw = m.dateLabelWidth ? m.dateLabelWidth(label) : 0;
                pair.dateLabel = {label, QPointF(x + (p - lw) / 2, zeroY + 9)};
            }
            g.pairs.push_back(std::move(pair));
        }
    }

    g.downSwatch = QRectF(58, 9, 8, 8);
    g.downLegend = {downText(), QPointF(70, 8)};
    const double upX = 70 + m.legendDownWidth + 16;
    g.upSwatch = QRectF(upX, 9, 8, 8);
    g.upLegend = {upText(), QPointF(upX + 12, 8)};
    return g;
}

TrafficChartView::TrafficChartView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

QFont TrafficChartView::emptyFont() {
    return historyFont(13);
}
QFont TrafficChartView::scaleFont() {
    return historyFont(9);
}
QFont TrafficChartView::dateFont() {
    return historyFont(9);
}
QFont TrafficChartView::legendFont() {
    return historyFont(10, QFont::Medium);
}

ChartMetrics TrafficChartView::metrics() const {
    ChartMetrics m;
    const QFontMetricsF dateFm(dateFont());
    m.dateLabelWidth = [dateFm](const QString& s) { return dateFm.horizontalAdvance(s); };
    m.legendDownWidth = QFontMetricsF(legendFont()).horizontalAdvance(downText());
    const QFontMetricsF emptyFm(emptyFont());
    m.emptyTextSize = QSizeF(emptyFm.horizontalAdvance(emptyText()), emptyFm.height());
    return m;
}

ChartGeometry TrafficChartView::chartLayout() const {
    return chartGeometry(QSizeF(size()), dailyData, metrics());
}

namespace {

void drawText(QPainter& p, const ChartText& t, const QFont& font, const QColor& color) {
    p.setFont(font);
    p.setPen(color);
    p.drawText(QPointF(t.topLeft.x(), t.topLeft.y() + QFontMetricsF(font).ascent()), t.text);
}

void fillRounded(QPainter& p, const QRectF& r, double radius, const QColor& color) {
    QPainterPath path;
    path.addRoundedRect(r, radius, radius);
    p.fillPath(path, color);
}

} // namespace

void TrafficChartView::draw(QPainter& p) const {
    const ChartGeometry g = chartLayout();
    p.save();
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::TextAntialiasing, true);

    QPainterPath card;
    card.addRoundedRect(g.card, 12, 12);
    p.fillPath(card, TrafficTheme::cardBG());
    p.strokePath(card, QPen(TrafficTheme::hairline(), 1));

    if (g.empty) {
        drawText(p, g.emptyText, emptyFont(), TrafficTheme::textDim());
        p.restore();
        return;
    }

    const QFont scale = scaleFont();
    for (const auto& line : g.grid) {
        p.setPen(QPen(TrafficTheme::hairline(), 0.5));
        p.drawLine(line.line);
        drawText(p, line.label, scale, TrafficTheme::textDim());
    }

    const QFont date = dateFont();
    for (const auto& pair : g.pairs) {
        fillRounded(p, pair.down, 2, TrafficTheme::downBlue());
        fillRounded(p, pair.up, 2, TrafficTheme::upGreen());
        if (!pair.dateLabel.text.isEmpty()) {
            drawText(p, pair.dateLabel, date, TrafficTheme::textSecondary());
        }
    }

    const QFont legend = legendFont();
    fillRounded(p, g.downSwatch, 2, TrafficTheme::downBlue());
    drawText(p, g.downLegend, legend, TrafficTheme::textPrimary());
    fillRounded(p, g.upSwatch, 2, TrafficTheme::upGreen());
    drawText(p, g.upLegend, legend, TrafficTheme::textPrimary());
    p.restore();
}

void TrafficChartView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    draw(p);
}
