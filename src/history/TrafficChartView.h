#pragma once

#include "ByteCounts.h"

#include <QColor>
#include <QFont>
#include <QLineF>
#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

// One day of the chart: its key ("yyyy-MM-dd") and the bytes moved that day.
struct ChartDayRecord {
    QString date;
    ByteCounts bytes;
};

// A text placed by its top-left corner (the top of its line box).
struct ChartText {
    QString text;
    QPointF topLeft;
};

// Everything the chart draws, in view coordinates (origin top-left, y down). Painting
// only walks this.
struct ChartGeometry {
    QRectF card; // the whole bounds, radius 12
    bool empty = true;
    ChartText emptyText; // only when empty

    QRectF plot;           // left/top margins 58/26; may have a negative height
    double slotWidth = 0;  // g
    double pairWidth = 0;  // p
    double plotHeight = 0; // h
    double scale = 0;      // S

    struct GridLine {
        QLineF line;
        std::uint64_t value = 0;
        ChartText label;
    };
    std::array<GridLine, 5> grid{};

    struct Pair {
        QRectF down;
        QRectF up;
        ChartText dateLabel; // empty text where labels are thinned out
    };
    std::vector<Pair> pairs; // empty when p <= 0 or h < 0
    int labelStep = 1;       // every labelStep-th pair, counted from the last, is labelled

    QRectF downSwatch, upSwatch;
    ChartText downLegend, upLegend;
};

// Text measurements the geometry needs; the view fills them from its fonts.
struct ChartMetrics {
    std::function<double(const QString&)> dateLabelWidth; // 9 px regular
    double legendDownWidth = 0;                           // "下载", 10 px medium
    QSizeF emptyTextSize;                                 // "暂无数据", 13 px regular
};

// The ladder scale for the largest daily count (at least 1).
double chartScale(const std::vector<ChartDayRecord>& days);
// Byte count shown next to grid line k (0 = top) for scale s; a value past the counter's
// range reads as the largest count.
std::uint64_t chartGridValue(double scale, int k);

// How many slots one date label needs so that labels keep a small gap: 1 when each fits.
int chartLabelStep(double slotWidth, double widestLabel);

ChartGeometry chartGeometry(QSizeF size, const std::vector<ChartDayRecord>& days,
                            const ChartMetrics& metrics);

// The bar chart: download and upload bars per day (or month) over a byte scale.
class TrafficChartView : public QWidget {
    Q_OBJECT
public:
    explicit TrafficChartView(QWidget* parent = nullptr);

    // Assigning does not repaint; the owner calls update().
    std::vector<ChartDayRecord> dailyData;

    static QFont emptyFont();
    static QFont scaleFont();
    static QFont dateFont();
    static QFont legendFont();

    ChartMetrics metrics() const;
    ChartGeometry chartLayout() const;
    void draw(class QPainter& painter) const;

protected:
    void paintEvent(class QPaintEvent* event) override;
};
