#include "BarRaster.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <utility>

namespace {

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

} // namespace

void rasterBlendRoundedRect(QImage& image, const QRectF& r, qreal radius, quint32 premultiplied) {
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
