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
#include <QtMath>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>
#include <optional>

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

// A font and its ascent, built once: resolving a QFont and its metrics costs more than
// drawing a line of text, and the view repaints every second for as long as it runs.
struct TextStyle {
    QFont font;
    qreal ascent;
};

TextStyle makeStyle(const QFont& font) {
    return {font, QFontMetricsF(font).ascent()};
}

const TextStyle& valueStyle() {
    static const TextStyle style = makeStyle(valueFontFor(valueFontFamily()));
    return style;
}

// Text placed by the top-left corner of its line box, as the layout's points are given.
void drawTextAt(QPainter& p, const QPointF& topLeft, const QString& text, const TextStyle& style,
                const QColor& color) {
    p.setFont(style.font);
    p.setPen(color);
    p.drawText(QPointF(topLeft.x(), topLeft.y() + style.ascent), text);
}

// The parts that never change between ticks: the card with its outline and the two arrows.
void drawStaticParts(QPainter& p, const QSizeF& size, const QColor& upColor,
                     const QColor& downColor) {
    const QRectF card = QRectF(QPointF(0, 0), size).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath cardPath;
    cardPath.addRoundedRect(card, 22, 22);
    p.fillPath(cardPath, QColor::fromRgbF(0.07f, 0.07f, 0.07f, 0.82f));
    QPen outline(QColor::fromRgbF(1.0f, 1.0f, 1.0f, 0.13f));
    outline.setWidthF(1);
    p.strokePath(cardPath, outline);

    const TextStyle arrow = makeStyle(arrowFont());
    drawTextAt(p, {14, 12}, QStringLiteral("\u2191"), arrow, upColor);
    drawTextAt(p, {14, 35}, QStringLiteral("\u2193"), arrow, downColor);
}

// The device scale when the painter maps the view onto whole device pixels with an equal
// scale on both axes and no rotation: then a picture rendered at that scale copies onto the
// device pixel for pixel. Zero otherwise.
qreal exactCopyScale(const QPainter& p) {
    const QTransform t = p.deviceTransform();
    if (t.type() > QTransform::TxScale || t.m11() != t.m22() || t.m11() <= 0) {
        return 0;
    }
    const auto whole = [](qreal v) { return v == std::round(v); };
    return whole(t.dx()) && whole(t.dy()) ? t.m11() : 0;
}

void drawRates(QPainter& p, const QString& upload, const QString& download) {
    const TextStyle& value = valueStyle();
    const QColor white(Qt::white);
    drawTextAt(p, {34, 12}, upload, value, white);
    drawTextAt(p, {34, 35}, download, value, white);
}

const QColor kDownBarColor = QColor::fromRgbF(0.35f, 0.64f, 1.0f, 0.75f);
const QColor kUpBarColor = QColor::fromRgbF(0.3f, 0.85f, 0.52f, 0.75f);

// ---- The graph's bars, rasterised by hand.
// Each antialiased rounded rectangle through QPainter costs about two microseconds (curve
// flattening and a rasteriser pass each), which for 120 bars is most of a repaint. A bar
// covers only three or four pixel columns, so its exact pixel coverage is cheap to compute
// directly: the rectangle's overlap with the pixel, less the parts cut off by the
// elliptical corners. This is the exact area; QPainter flattens the corner curves into a
// few chords first, so most pixels agree to a level or two, and slivers under a pixel
// tall (whose rounded ends QPainter reduces to single chords) come out a little fuller.

// arcsin on [0, 1] to within 5e-5 (Abramowitz and Stegun 4.4.45). The C library's asin
// takes slow exact paths near 1, where every corner evaluates it; the areas here need only
// about 1e-3 to land on the same 8-bit coverage.
double fastAsin(double u) {
    const double poly = 1.5707288 + u * (-0.2121144 + u * (0.0742610 + u * -0.0187293));
    return std::numbers::pi / 2 - std::sqrt(std::max(0.0, 1 - u)) * poly;
}

// Area under the unit circle's arc, the integral of sqrt(1 - u^2) from 0 to u, u in [0, 1].
double arcIntegral(double u) {
    return 0.5 * (u * std::sqrt(std::max(0.0, 1 - u * u)) + fastAsin(u));
}

// Area of the unit quarter disc (u, v >= 0, u^2 + v^2 <= 1) inside [u0, u1] x [v0, v1],
// for 0 <= u0 <= u1 <= 1 and 0 <= v0 <= v1 <= 1.
double quarterDiscArea(double u0, double u1, double v0, double v1) {
    // Up to uFull the arc is above v1 (the full box height counts); past uEnd it is below v0.
    const double uFull = std::clamp(std::sqrt(1 - v1 * v1), u0, u1);
    const double uEnd = std::clamp(std::sqrt(1 - v0 * v0), u0, u1);
    return (uFull - u0) * (v1 - v0) + (arcIntegral(uEnd) - arcIntegral(uFull)) -
           (uEnd - uFull) * v0;
}

double overlap(double a0, double a1, double b0, double b1) {
    return std::max(0.0, std::min(a1, b1) - std::max(a0, b0));
}

// What the corner of a rounded rectangle cuts off inside one pixel: the part of the corner
// box (rx by ry, its outer corner at `outer`, the ellipse centre at `centre`) that lies
// outside the quarter ellipse, within the unit pixel at (px, py).
double cornerCut(QPointF outer, QPointF centre, double rx, double ry, double px, double py) {
    // The pixel's part of the box in the ellipse's unit coordinates: u runs from the centre
    // (0) to the box's outer side (1), v likewise.
    const auto unit = [](double a, double b, double c, double o, double r) {
        const double s = o > c ? 1 : -1;
        const double t0 = std::clamp((a - c) * s / r, 0.0, 1.0);
        const double t1 = std::clamp((b - c) * s / r, 0.0, 1.0);
        return std::pair{std::min(t0, t1), std::max(t0, t1)};
    };
    const auto [u0, u1] = unit(px, px + 1, centre.x(), outer.x(), rx);
    const auto [v0, v1] = unit(py, py + 1, centre.y(), outer.y(), ry);
    if (u1 <= u0 || v1 <= v0) {
        return 0;
    }
    return rx * ry * ((u1 - u0) * (v1 - v0) - quarterDiscArea(u0, u1, v0, v1));
}

// x * a / 255 with the rounding the raster paint engine uses, on all four channels.
quint32 byteMul(quint32 x, quint32 a) {
    quint32 t = (x & 0xff00ff) * a;
    t = (t + ((t >> 8) & 0xff00ff) + 0x800080) >> 8;
    t &= 0xff00ff;
    x = ((x >> 8) & 0xff00ff) * a;
    x = (x + ((x >> 8) & 0xff00ff) + 0x800080);
    x &= 0xff00ff00;
    return x | t;
}

// Blends one bar, given in device pixels, over the premultiplied image, as a solid fill
// of that coverage would.
void blendRoundedRect(QImage& image, const QRectF& r, qreal radius, quint32 premultiplied) {
    if (r.width() <= 0 || r.height() <= 0) {
        return;
    }
    const double rx = std::min(radius, r.width() / 2);
    const double ry = std::min(radius, r.height() / 2);
    const int xBegin = std::max(0, int(std::floor(r.left())));
    const int xEnd = std::min(image.width(), int(std::ceil(r.right())));
    const int yBegin = std::max(0, int(std::floor(r.top())));
    const int yEnd = std::min(image.height(), int(std::ceil(r.bottom())));
    const double x0 = r.left(), x1 = r.right(), y0 = r.top(), y1 = r.bottom();
    const auto blend = [premultiplied](quint32& pixel, int coverage) {
        const quint32 src = coverage == 255 ? premultiplied : byteMul(premultiplied, coverage);
        pixel = src + byteMul(pixel, 255 - (src >> 24));
    };
    const auto toCoverage = [](double area) { return std::clamp(int(area * 255 + 0.5), 0, 255); };
    // Rows wholly inside the bar and clear of its corners are all covered alike: the column
    // overlaps alone decide, computed once (most of a tall bar's pixels are such rows).
    std::array<int, 16> rowCoverage{};
    const bool rowsAlike = xEnd - xBegin <= int(rowCoverage.size());
    for (int x = xBegin; rowsAlike && x < xEnd; ++x) {
        rowCoverage[std::size_t(x - xBegin)] = toCoverage(overlap(x0, x1, x, x + 1));
    }
    uchar* const bits = image.bits();
    const qsizetype bytesPerLine = image.bytesPerLine();
    for (int y = yBegin; y < yEnd; ++y) {
        auto* line = reinterpret_cast<quint32*>(bits + y * bytesPerLine);
        if (rowsAlike && y >= y0 + ry && y + 1 <= y1 - ry) {
            for (int x = xBegin; x < xEnd; ++x) {
                if (const int coverage = rowCoverage[std::size_t(x - xBegin)]; coverage > 0) {
                    blend(line[x], coverage);
                }
            }
            continue;
        }
        const double rowCover = overlap(y0, y1, y, y + 1);
        const bool topRow = y < y0 + ry;
        const bool bottomRow = y + 1 > y1 - ry;
        for (int x = xBegin; x < xEnd; ++x) {
            double area = overlap(x0, x1, x, x + 1) * rowCover;
            // Only the pixels that reach into a corner box lose anything to the rounding.
            const bool leftColumn = x < x0 + rx;
            const bool rightColumn = x + 1 > x1 - rx;
            if (topRow && leftColumn) {
                area -= cornerCut({x0, y0}, {x0 + rx, y0 + ry}, rx, ry, x, y);
            }
            if (topRow && rightColumn) {
                area -= cornerCut({x1, y0}, {x1 - rx, y0 + ry}, rx, ry, x, y);
            }
            if (bottomRow && leftColumn) {
                area -= cornerCut({x0, y1}, {x0 + rx, y1 - ry}, rx, ry, x, y);
            }
            if (bottomRow && rightColumn) {
                area -= cornerCut({x1, y1}, {x1 - rx, y1 - ry}, rx, ry, x, y);
            }
            if (const int coverage = toCoverage(area); coverage > 0) {
                blend(line[x], coverage);
            }
        }
    }
}

// The bars blended straight into an image made at `scale` device pixels per unit.
void blendBars(QImage& image, const GraphLayout& g, qreal scale) {
    const quint32 down = kDownBarColor.rgba64().premultiplied().toArgb32();
    const quint32 up = kUpBarColor.rgba64().premultiplied().toArgb32();
    const auto device = [scale](const QRectF& r) {
        return QRectF(r.topLeft() * scale, r.size() * scale);
    };
    for (const GraphBar& bar : g.bars) {
        // A part of no height paints nothing.
        if (bar.down.height() > 0) {
            blendRoundedRect(image, device(bar.down), scale, down);
        }
        if (bar.up.height() > 0) {
            blendRoundedRect(image, device(bar.up), scale, up);
        }
    }
}

// The bars through QPainter, for painters whose transform an image copy cannot follow.
void paintBars(QPainter& p, const GraphLayout& g) {
    const QBrush downFill(kDownBarColor);
    const QBrush upFill(kUpBarColor);
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
}

// ---- The whole picture, kept between repaints.
// The view repaints every second, mostly with the same numbers (an idle link reads zero
// for minutes). The picture is therefore rendered into an image and only re-rendered when
// something drawn in it changed; a repaint is then one image copy. The unchanging card and
// arrows are kept in an image of their own, so a re-render starts from a copy of them
// rather than filling and stroking the antialiased card again (a fill of that many spans
// also wakes Qt's thread pool). Everything the picture depends on is in the key, so the
// one cache is right for any view; the program has one.
struct FrameKey {
    QSize pixels;
    qreal scale = 0;
    QString uploadText; // the rates as shown: a change too small to show redraws nothing
    QString downloadText;
    std::array<double, SpeedStats::historyMax> upHistory{};
    std::array<double, SpeedStats::historyMax> downHistory{};
    bool operator==(const FrameKey&) const = default;
};

struct FrameCache {
    QImage staticParts; // card and arrows
    QImage frame;       // the whole view as last drawn
    std::optional<FrameKey> key;
};

QImage newImage(const QSize& pixels, qreal scale) {
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::transparent);
    return image;
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
    // The window is translucent, so Qt clears what it repaints to transparent first: the
    // kept picture can replace those pixels (a plain copy) instead of blending over them.
    p.setCompositionMode(QPainter::CompositionMode_Source);
    draw(p);
}

// The kept picture goes down with the painter's composition mode (over what is there,
// unless the caller knows better); everything else is drawn over.
void SpeedView::draw(QPainter& p) const {
    p.save();
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    const QSizeF size(width(), height());

    const qreal scale = exactCopyScale(p);
    if (scale == 0) {
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        drawStaticParts(p, size, upColor, downColor);
        drawRates(p, fmtSpeed(uploadSpeed), fmtSpeed(downloadSpeed));
        paintBars(p, graphLayout(upHistory, downHistory, width()));
        p.restore();
        return;
    }

    static FrameCache cache;
    const FrameKey key{QSize(qCeil(size.width() * scale), qCeil(size.height() * scale)),
                       scale,
                       fmtSpeed(uploadSpeed),
                       fmtSpeed(downloadSpeed),
                       upHistory,
                       downHistory};
    if (cache.key != key) {
        if (!cache.key || cache.key->pixels != key.pixels || cache.key->scale != key.scale) {
            cache.staticParts = newImage(key.pixels, scale);
            QPainter sp(&cache.staticParts);
            sp.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
            drawStaticParts(sp, size, upColor, downColor);
            sp.end();
            cache.frame = newImage(key.pixels, scale);
        }
        // The rates and the graph do not overlap, so their order does not matter.
        std::memcpy(cache.frame.bits(), cache.staticParts.constBits(),
                    static_cast<std::size_t>(cache.frame.sizeInBytes()));
        blendBars(cache.frame, graphLayout(upHistory, downHistory, width()), scale);
        QPainter fp(&cache.frame);
        fp.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
        drawRates(fp, key.uploadText, key.downloadText);
        fp.end();
        cache.key = key;
    }
    p.drawImage(QPointF(0, 0), cache.frame);
    p.restore();
}
