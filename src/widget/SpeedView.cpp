#include "SpeedView.h"

#include "BarRaster.h"
#include "DigitFont.h"
#include "Formatters.h"
#include "SpeedGraph.h"
#include "WidgetColors.h"

#include <QFontDatabase>
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
#include <optional>

namespace {

constexpr int kFontPixelSize = 13;

QFont valueFont() {
    QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    f.setPixelSize(kFontPixelSize);
    f.setWeight(QFont::DemiBold);
    f.setStyleStrategy(QFont::PreferAntialias);
    f.setFamily(fontTabularDigitFamily(f));
    return f;
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
    static const TextStyle style = makeStyle(valueFont());
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
void drawStaticParts(QPainter& p, const QSizeF& size) {
    const QRectF card = QRectF(QPointF(0, 0), size).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath cardPath;
    cardPath.addRoundedRect(card, SpeedView::cornerRadius, SpeedView::cornerRadius);
    p.fillPath(cardPath, QColor::fromRgbF(0.07f, 0.07f, 0.07f, 0.82f));
    QPen outline(QColor::fromRgbF(1.0f, 1.0f, 1.0f, 0.13f));
    outline.setWidthF(1);
    p.strokePath(cardPath, outline);

    const TextStyle arrow = makeStyle(arrowFont());
    drawTextAt(p, {14, 12}, QStringLiteral("\u2191"), arrow, widgetUpColor());
    drawTextAt(p, {14, 35}, QStringLiteral("\u2193"), arrow, widgetDownColor());
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

// The bars blended straight into an image made at `scale` device pixels per unit.
void blendBars(QImage& image, const GraphLayout& g, qreal scale) {
    const quint32 down = widgetDownColor(kBarAlpha).rgba64().premultiplied().toArgb32();
    const quint32 up = widgetUpColor(kBarAlpha).rgba64().premultiplied().toArgb32();
    const auto device = [scale](const QRectF& r) {
        return QRectF(r.topLeft() * scale, r.size() * scale);
    };
    for (const GraphBar& bar : g.bars) {
        // A part of no height paints nothing.
        if (bar.down.height() > 0) {
            rasterBlendRoundedRect(image, device(bar.down), scale, down);
        }
        if (bar.up.height() > 0) {
            rasterBlendRoundedRect(image, device(bar.up), scale, up);
        }
    }
}

// The bars through QPainter, for painters whose transform an image copy cannot follow.
void paintBars(QPainter& p, const GraphLayout& g) {
    const QBrush downFill(widgetDownColor(kBarAlpha));
    const QBrush upFill(widgetUpColor(kBarAlpha));
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
// also wakes Qt's thread pool). Everything the picture depends on is in the key.
struct FrameKey {
    QSize pixels;
    qreal scale = 0;
    QString uploadText; // the rates as shown: a change too small to show redraws nothing
    QString downloadText;
    std::array<double, SpeedStats::historyMax> upHistory{};
    std::array<double, SpeedStats::historyMax> downHistory{};
    bool operator==(const FrameKey&) const = default;
};

QImage newImage(const QSize& pixels, qreal scale) {
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::transparent);
    return image;
}

} // namespace

struct SpeedView::FrameCache {
    QImage staticParts; // card and arrows
    QImage frame;       // the whole view as last drawn
    std::optional<FrameKey> key;
};

SpeedView::SpeedView(const QRectF& frame, QWidget* parent)
    : QWidget(parent), m_frameCache(std::make_unique<FrameCache>()) {
    // Only the rounded card is painted; the corners outside it must stay see-through.
    setAttribute(Qt::WA_TranslucentBackground);
    setAutoFillBackground(false);
    const QRect r = frame.toAlignedRect();
    move(r.topLeft());
    setFixedSize(r.size());
}

SpeedView::~SpeedView() = default;

void SpeedView::setStats(const SpeedStats& stats) {
    m_stats = stats;
    update();
}

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
        drawStaticParts(p, size);
        drawRates(p, fmtSpeed(m_stats.uploadSpeed), fmtSpeed(m_stats.downloadSpeed));
        paintBars(p, graphLayout(m_stats.upHistory, m_stats.downHistory, width()));
        p.restore();
        return;
    }

    FrameCache& cache = *m_frameCache;
    const FrameKey key{QSize(qCeil(size.width() * scale), qCeil(size.height() * scale)),
                       scale,
                       fmtSpeed(m_stats.uploadSpeed),
                       fmtSpeed(m_stats.downloadSpeed),
                       m_stats.upHistory,
                       m_stats.downHistory};
    if (cache.key != key) {
        if (!cache.key || cache.key->pixels != key.pixels || cache.key->scale != key.scale) {
            cache.staticParts = newImage(key.pixels, scale);
            QPainter sp(&cache.staticParts);
            sp.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
            drawStaticParts(sp, size);
            sp.end();
            cache.frame = newImage(key.pixels, scale);
        }
        // The rates and the graph do not overlap, so their order does not matter.
        std::memcpy(cache.frame.bits(), cache.staticParts.constBits(),
                    static_cast<std::size_t>(cache.frame.sizeInBytes()));
        blendBars(cache.frame, graphLayout(m_stats.upHistory, m_stats.downHistory, width()), scale);
        QPainter fp(&cache.frame);
        fp.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
        drawRates(fp, key.uploadText, key.downloadText);
        fp.end();
        cache.key = key;
    }
    p.drawImage(QPointF(0, 0), cache.frame);
    p.restore();
}
