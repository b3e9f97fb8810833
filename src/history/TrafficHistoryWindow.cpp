#include "TrafficHistoryWindow.h"

#include "AllowanceText.h"
#include "AllowanceWatcher.h"
#include "AppTableDataSource.h"
#include "Formatters.h"
#include "SegmentedControl.h"
#include "TrafficChartView.h"
#include "TrafficTheme.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QShortcut>
#include <QStyle>
#include <QStyleFactory>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <limits>

namespace {

std::uint64_t satAdd(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

// The rounded card behind today's totals: a diagonal gradient, lighter at the top left.
class HeaderCard : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
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
};

// How much of the allowance is used: a slim track, filled blue, amber from 80 %, red at 100 %.
class AllowanceBar : public QWidget {
public:
    using QWidget::QWidget;
    void setFraction(double f) {
        m_fraction = f;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
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
        used.addRoundedRect(
            QRectF(r.left(), r.top(), std::max(r.height(), r.width() * f), r.height()), radius,
            radius);
        p.fillPath(used, fill);
    }

private:
    double m_fraction = 0;
};

// One line of text cut at its end with an ellipsis when it does not fit.
class ElidingLabel : public QWidget {
public:
    using QWidget::QWidget;

    QString text() const { return text_; }
    void setText(const QString& t) {
        text_ = t;
        setToolTip(t);
        update();
    }
    QSize sizeHint() const override {
        const QMargins m = contentsMargins();
        return {fontMetrics().horizontalAdvance(text_) + m.left() + m.right(),
                fontMetrics().height() + m.top() + m.bottom()};
    }
    QSize minimumSizeHint() const override { return {0, sizeHint().height()}; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const QRect r = contentsRect();
        p.setPen(palette().color(QPalette::WindowText));
        p.drawText(r, Qt::AlignLeft | Qt::AlignVCenter,
                   fontMetrics().elidedText(text_, Qt::ElideRight, r.width()));
    }

private:
    QString text_;
};

// Calls back when the watched widget changes size.
class ResizeObserver : public QObject {
public:
    ResizeObserver(QObject* parent, std::function<void()> onResize)
        : QObject(parent), onResize_(std::move(onResize)) {}

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Resize && onResize_) {
            onResize_();
        }
        return false;
    }

private:
    std::function<void()> onResize_;
};

QLabel* makeLabel(const QString& text, const QFont& font, const QColor& color) {
    auto* label = new QLabel(text);
    label->setFont(font);
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, color);
    label->setPalette(pal);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    // A very long total must not push the window's minimum width past its set minimum.
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    return label;
}

QPalette darkPalette() {
    const auto grey = [](float w, float a = 1.0f) { return QColor::fromRgbF(w, w, w, a); };
    QPalette pal;
    for (auto group : {QPalette::Active, QPalette::Inactive}) {
        pal.setColor(group, QPalette::Window, TrafficTheme::windowBG());
        pal.setColor(group, QPalette::WindowText, TrafficTheme::textPrimary());
        pal.setColor(group, QPalette::Base, TrafficTheme::cardBG());
        pal.setColor(group, QPalette::AlternateBase, grey(1, 0.035f));
        pal.setColor(group, QPalette::Text, TrafficTheme::textPrimary());
        pal.setColor(group, QPalette::Button, QColor::fromRgbF(0.11f, 0.13f, 0.19f));
        pal.setColor(group, QPalette::ButtonText, TrafficTheme::textPrimary());
        pal.setColor(group, QPalette::BrightText, Qt::white);
        pal.setColor(group, QPalette::ToolTipBase, QColor::fromRgbF(0.13f, 0.15f, 0.21f));
        pal.setColor(group, QPalette::ToolTipText, TrafficTheme::textPrimary());
        pal.setColor(group, QPalette::PlaceholderText, TrafficTheme::textDim());
        pal.setColor(group, QPalette::Light, grey(1, 0.12f));
        pal.setColor(group, QPalette::Midlight, grey(1, 0.08f));
        pal.setColor(group, QPalette::Mid, grey(0, 0.3f));
        pal.setColor(group, QPalette::Dark, grey(0, 0.5f));
        pal.setColor(group, QPalette::Shadow, grey(0, 0.7f));
        pal.setColor(group, QPalette::Highlight, QColor::fromRgbF(0.2f, 0.36f, 0.6f));
        pal.setColor(group, QPalette::HighlightedText, Qt::white);
        pal.setColor(group, QPalette::Link, TrafficTheme::downBlue());
    }
    pal.setColor(QPalette::Inactive, QPalette::Highlight, QColor::fromRgbF(0.18f, 0.22f, 0.3f));
    pal.setColor(QPalette::Disabled, QPalette::WindowText, TrafficTheme::textDim());
    pal.setColor(QPalette::Disabled, QPalette::Text, TrafficTheme::textDim());
    pal.setColor(QPalette::Disabled, QPalette::ButtonText, TrafficTheme::textDim());
    pal.setColor(QPalette::Disabled, QPalette::Window, TrafficTheme::windowBG());
    pal.setColor(QPalette::Disabled, QPalette::Base, TrafficTheme::cardBG());
    return pal;
}

} // namespace

double historySegmentWidth(double contentWidth, int n) {
    if (n <= 0) {
        return 0;
    }
    return std::max((contentWidth - 40) / n, 60.0);
}

QSize historyTableSize(int currentWidth, int headerHeight, int rowHeight, int rows) {
    const qint64 h = qint64(headerHeight) + qint64(rowHeight) * std::max(0, rows);
    // QWidget sizes are ints and capped far below that; a huge day scrolls to its cap.
    return {currentWidth > 0 ? currentWidth : 560,
            static_cast<int>(std::min<qint64>(h, QWIDGETSIZE_MAX))};
}

QString historySummaryText(const QString& dayKey, std::uint64_t in, std::uint64_t out) {
    return QCoreApplication::translate("TrafficHistoryWindow",
                                       "应用流量明细 · %1    下载 %2 · 上传 %3 · 合计 %4")
        .arg(dayKey, fmtBytesTraffic(in), fmtBytesTraffic(out), fmtBytesTraffic(satAdd(in, out)));
}

struct TrafficHistoryWindow::Views {
    std::unique_ptr<QWidget> window;
    HeaderCard* header = nullptr;
    QWidget* allowanceRow = nullptr;
    QLabel* allowanceUse = nullptr;
    QLabel* allowanceProjection = nullptr;
    AllowanceBar* allowanceBar = nullptr;
    SegmentedControl* rangeSegmented = nullptr;
    QScrollArea* daysScroll = nullptr;
    TrafficChartView* chartView = nullptr;
    QTableView* tableView = nullptr;
    SegmentedControl* dateSegmented = nullptr;
    QLabel* totalDownLabel = nullptr;
    QLabel* totalUpLabel = nullptr;
    ElidingLabel* summaryLabel = nullptr;
    QScrollArea* scroll = nullptr;
};

TrafficHistoryWindow::TrafficHistoryWindow(TrafficRecorder& recorder)
    : recorder_(recorder), tableDS_(std::make_unique<AppTableDataSource>()),
      v_(std::make_unique<Views>()), source_(recorder) {
    build();
    refresh();
    v_->window->show();
    v_->window->raise();
    v_->window->activateWindow();
    // Observe sizes only once the window is up, as a did-resize notification would.
    resizeObserver_ = new ResizeObserver(v_->window.get(), [this] { windowDidResize(); });
    v_->window->installEventFilter(resizeObserver_);
}

TrafficHistoryWindow::~TrafficHistoryWindow() {
    // Cut every path by which the window could call back before the views go.
    if (v_->window && resizeObserver_) {
        v_->window->removeEventFilter(resizeObserver_);
        delete resizeObserver_;
        resizeObserver_ = nullptr;
    }
    if (v_->dateSegmented) {
        v_->dateSegmented->setAction(nullptr);
    }
    if (v_->rangeSegmented) {
        v_->rangeSegmented->setAction(nullptr);
    }
    v_->window.reset();
}

void TrafficHistoryWindow::build() {
    auto& v = *v_;
    v.window = std::make_unique<QWidget>(nullptr, Qt::Window);
    QWidget* win = v.window.get();
    win->resize(600, 660);
    win->setWindowTitle(QCoreApplication::translate("TrafficHistoryWindow", "流量统计"));
    win->setMinimumSize(520, 580);
    if (QScreen* screen = win->screen()) {
        const QRect avail = screen->availableGeometry();
        win->move(avail.center() - QPoint(300, 330));
    }
    win->setPalette(darkPalette());
    win->setAutoFillBackground(true);
    win->setFont(historyFont(13));
    // The usual close keys hide the window like its close button does.
    for (auto key : {QKeySequence(QKeySequence::Close), QKeySequence(Qt::Key_Escape)}) {
        auto* sc = new QShortcut(key, win);
        QObject::connect(sc, &QShortcut::activated, win, &QWidget::close);
    }

    auto* header = new HeaderCard;
    v.header = header;
    header->setFixedHeight(96);
    auto* card = new QVBoxLayout(header);
    card->setContentsMargins(16, 0, 16, 0);
    card->setSpacing(0);
    auto* row = new QHBoxLayout;
    row->setSpacing(0);
    card->addLayout(row);
    const auto column = [&](const QString& caption, const QString& total, const QColor& color,
                            QLabel*& totalLabel) {
        auto* col = new QVBoxLayout;
        col->setSpacing(6);
        col->setAlignment(Qt::AlignVCenter);
        col->addWidget(makeLabel(caption, historyFont(11, QFont::Medium), TrafficTheme::textDim()));
        totalLabel = makeLabel(total, historyFont(26, QFont::Bold, true), color);
        col->addWidget(totalLabel);
        row->addLayout(col, 1);
    };
    column(QCoreApplication::translate("TrafficHistoryWindow", "今日下载"), QStringLiteral("↓ 0 B"),
           TrafficTheme::downBlue(), v.totalDownLabel);
    column(QCoreApplication::translate("TrafficHistoryWindow", "今日上传"), QStringLiteral("↑ 0 B"),
           TrafficTheme::upGreen(), v.totalUpLabel);

    // This cycle against the allowance, under the totals; only there while one is set.
    v.allowanceRow = new QWidget;
    {
        auto* lines = new QVBoxLayout(v.allowanceRow);
        lines->setContentsMargins(0, 0, 0, 14);
        lines->setSpacing(5);
        auto* texts = new QHBoxLayout;
        v.allowanceUse = new QLabel;
        v.allowanceProjection = new QLabel;
        for (QLabel* l : {v.allowanceUse, v.allowanceProjection}) {
            l->setFont(historyFont(11, QFont::Medium));
            QPalette pal = l->palette();
            pal.setColor(QPalette::WindowText, TrafficTheme::textSecondary());
            l->setPalette(pal);
            l->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        }
        v.allowanceProjection->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        texts->addWidget(v.allowanceUse, 3);
        texts->addWidget(v.allowanceProjection, 2);
        lines->addLayout(texts);
        v.allowanceBar = new AllowanceBar;
        v.allowanceBar->setFixedHeight(6);
        lines->addWidget(v.allowanceBar);
    }
    v.allowanceRow->hide();
    card->addWidget(v.allowanceRow);

    v.rangeSegmented = new SegmentedControl;
    v.rangeSegmented->setFixedHeight(28);
    v.rangeSegmented->setSegmentCount(3);
    const QStringList rangeLabels = {
        QCoreApplication::translate("TrafficHistoryWindow", "7 天"),
        QCoreApplication::translate("TrafficHistoryWindow", "30 天"),
        QCoreApplication::translate("TrafficHistoryWindow", "12 个月")};
    for (int i = 0; i < 3; ++i) {
        v.rangeSegmented->setLabel(rangeLabels[i], i);
        v.rangeSegmented->setSegmentWidth(84, i);
    }
    v.rangeSegmented->setSelectedSegment(0);
    v.rangeSegmented->setAction([this](SegmentedControl& control) {
        const int i = control.selectedSegment();
        if (i >= 0 && i < 3) {
            setRange(static_cast<HistoryRange>(i));
        }
    });

    v.chartView = new TrafficChartView;
    v.chartView->setFixedHeight(196);

    v.dateSegmented = new SegmentedControl;
    v.dateSegmented->setFixedHeight(32);
    v.dateSegmented->setAction(
        [this](SegmentedControl& control) { onDateSelect(control.selectedSegment()); });

    // Thirty days or twelve months do not fit the width: the selector scrolls sideways.
    v.daysScroll = new QScrollArea;
    v.daysScroll->setWidget(v.dateSegmented);
    v.daysScroll->setWidgetResizable(true);
    v.daysScroll->setFrameShape(QFrame::NoFrame);
    v.daysScroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    v.daysScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    v.daysScroll->setFixedHeight(32);
    v.daysScroll->setAutoFillBackground(false);
    v.daysScroll->viewport()->setAutoFillBackground(false);

    v.summaryLabel = new ElidingLabel;
    v.summaryLabel->setFont(historyFont(12, QFont::Medium));
    {
        QPalette pal = v.summaryLabel->palette();
        pal.setColor(QPalette::WindowText, TrafficTheme::textSecondary());
        v.summaryLabel->setPalette(pal);
    }
    // The label sits 18 from the sides, two more than its neighbours.
    v.summaryLabel->setContentsMargins(2, 0, 2, 0);
    v.summaryLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);

    v.tableView = tableDS_->makeTableView();

    v.scroll = new QScrollArea;
    v.scroll->setWidget(v.tableView);
    v.scroll->setWidgetResizable(false);
    v.scroll->setFrameShape(QFrame::NoFrame);
    v.scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    v.scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    v.scroll->setAutoFillBackground(false);
    v.scroll->viewport()->setAutoFillBackground(false);
    // The table is as wide as the visible area and as tall as its rows.
    auto* follow = new ResizeObserver(v.scroll->viewport(), [this] {
        QTableView* t = v_->tableView;
        t->resize(v_->scroll->viewport()->width(), t->height());
    });
    v.scroll->viewport()->installEventFilter(follow);

    auto* content = new QVBoxLayout(win);
    content->setContentsMargins(16, 16, 16, 16);
    content->setSpacing(0);
    content->addWidget(header);
    content->addSpacing(12);
    content->addWidget(v.rangeSegmented, 0, Qt::AlignLeft);
    content->addSpacing(8);
    content->addWidget(v.chartView);
    content->addSpacing(10);
    content->addWidget(v.daysScroll);
    content->addSpacing(8);
    content->addWidget(v.summaryLabel);
    content->addSpacing(8);
    content->addWidget(v.scroll, 1);

    // A dark Fusion look of the window's own, whatever the desktop's style and colours.
    style_.reset(QStyleFactory::create(QStringLiteral("Fusion")));
    if (style_) {
        win->setStyle(style_.get());
        for (QWidget* w : win->findChildren<QWidget*>()) {
            w->setStyle(style_.get());
        }
    }
    // A flat header over the rows and a slim overlay-like scroller, as dark native lists
    // have, instead of the style's raised header cells and arrowed scroll bar.
    v.tableView->horizontalHeader()->setStyleSheet(QStringLiteral(
        "QHeaderView { background: transparent; border: none; }"
        "QHeaderView::section { background: transparent; color: rgba(255,255,255,140);"
        " border: none; border-bottom: 1px solid rgba(255,255,255,20); padding: 0 4px; }"));
    v.daysScroll->horizontalScrollBar()->setStyleSheet(QStringLiteral(
        "QScrollBar:horizontal { background: transparent; height: 8px; margin: 0 2px 0 2px; }"
        "QScrollBar::handle:horizontal { background: rgba(255,255,255,60); border-radius: 3px;"
        " min-width: 24px; margin: 2px 0 0 0; }"
        "QScrollBar::add-line:horizontal, QScrollBar::sub-line:horizontal { width: 0; }"
        "QScrollBar::add-page:horizontal, QScrollBar::sub-page:horizontal { background: none; }"));
    v.scroll->verticalScrollBar()->setStyleSheet(QStringLiteral(
        "QScrollBar:vertical { background: transparent; width: 10px; margin: 2px 0 2px 0; }"
        "QScrollBar::handle:vertical { background: rgba(255,255,255,60); border-radius: 3px;"
        " min-height: 24px; margin: 0 2px 0 2px; }"
        "QScrollBar::handle:vertical:hover { background: rgba(255,255,255,100); }"
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }"));
}

QDate TrafficHistoryWindow::today() const {
    if (recentDaysSource_) {
        const QStringList keys = recentDaysSource_();
        if (!keys.isEmpty()) {
            return QDate::fromString(keys.last(), Qt::ISODate);
        }
    }
    return source_.today();
}

void TrafficHistoryWindow::refresh() {
    auto& v = *v_;
    const auto todayRecord = recorder_.getToday();
    const DailyTraffic t = todayRecord.value_or(DailyTraffic{});
    v.totalDownLabel->setText(QStringLiteral("↓ ") + fmtBytesTraffic(t.totalIn));
    v.totalUpLabel->setText(QStringLiteral("↑ ") + fmtBytesTraffic(t.totalOut));

    const QDate today = this->today();
    refreshAllowance(today);
    if (range_ == HistoryRange::Week) {
        dayKeys_ = recentDaysSource_ ? recentDaysSource_() : recorder_.recentDays(7);
    } else {
        dayKeys_ = historyRangeKeys(range_, today);
    }

    std::vector<ChartDayRecord> chart;
    chart.reserve(static_cast<std::size_t>(dayKeys_.size()));
    for (const QString& key : dayKeys_) {
        const DaySpan span = historyKeySpan(key, today);
        const TrafficTotals d =
            span.first.isValid() ? source_.totals(span.first, span.last) : TrafficTotals{};
        chart.push_back({key, d.in, d.out});
    }

    const auto n = static_cast<int>(dayKeys_.size());
    v.dateSegmented->setSegmentCount(n);
    for (int i = 0; i < n; ++i) {
        const auto& day = chart[static_cast<std::size_t>(i)];
        v.dateSegmented->setLabel(TrafficRecorder::displayDate(day.date) + QLatin1Char('\n') +
                                      fmtBytesTraffic(satAdd(day.inBytes, day.outBytes)),
                                  i);
    }
    v.chartView->dailyData = std::move(chart);
    v.chartView->update();

    applySegmentWidths();

    if (selectedDay_.isEmpty() || !dayKeys_.contains(selectedDay_)) {
        selectedDay_ = dayKeys_.isEmpty() ? QString() : dayKeys_.last();
    }
    const auto idx = dayKeys_.indexOf(selectedDay_);
    if (idx >= 0) {
        v.dateSegmented->setSelectedSegment(static_cast<int>(idx));
        if (QAbstractButton* b = v.dateSegmented->segmentButton(static_cast<int>(idx))) {
            v.daysScroll->ensureWidgetVisible(b, 0, 0);
        }
    }
    updateAppTable();
}

void TrafficHistoryWindow::refreshAllowance(QDate today) {
    auto& v = *v_;
    const AllowanceSettings a = allowanceSource_ ? allowanceSource_() : [] {
        QSettings settings(QStringLiteral("Quillfern"), QStringLiteral("Quillfern"));
        return allowanceLoad(settings);
    }();
    v.allowanceRow->setVisible(a.enabled);
    v.header->setFixedHeight(a.enabled ? 136 : 96);
    if (!a.enabled) {
        v.allowanceUse->clear();
        v.allowanceProjection->clear();
        return;
    }
    const QDateTime now = QDateTime::currentDateTime();
    const double fraction = now.date() == today ? allowanceDayFraction(now) : 1.0;
    const AllowanceStatus st = allowanceCurrent(source_, a, today, fraction);
    v.allowanceUse->setText(allowanceUseText(st));
    v.allowanceProjection->setText(allowanceProjectionText(st));
    v.allowanceBar->setFraction(st.fraction);
}

HistoryRange TrafficHistoryWindow::range() const {
    return range_;
}

void TrafficHistoryWindow::setRange(HistoryRange range) {
    auto& v = *v_;
    range_ = range;
    v.rangeSegmented->setSelectedSegment(static_cast<int>(range));
    const bool week = range == HistoryRange::Week;
    v.daysScroll->setHorizontalScrollBarPolicy(week ? Qt::ScrollBarAlwaysOff
                                                    : Qt::ScrollBarAsNeeded);
    v.daysScroll->setFixedHeight(week ? 32 : 40);
    refresh();
}

void TrafficHistoryWindow::show() {
    refresh();
    QWidget* win = v_->window.get();
    win->show();
    if (win->isMinimized()) {
        win->showNormal();
    }
    win->raise();
    win->activateWindow();
}

void TrafficHistoryWindow::onDateSelect(int index) {
    if (index < 0 || index >= dayKeys_.size()) {
        return;
    }
    selectedDay_ = dayKeys_[index];
    updateAppTable();
}

void TrafficHistoryWindow::windowDidResize() {
    applySegmentWidths();
}

void TrafficHistoryWindow::applySegmentWidths() {
    if (dayKeys_.isEmpty()) {
        return;
    }
    const auto n = static_cast<int>(dayKeys_.size());
    const double s = historySegmentWidth(v_->window->width(), n);
    for (int i = 0; i < n; ++i) {
        v_->dateSegmented->setSegmentWidth(s, i);
    }
    // Past the visible width the row scrolls rather than squeezing its segments.
    v_->dateSegmented->setMinimumWidth(
        range_ == HistoryRange::Week ? 0 : static_cast<int>(std::ceil(s * n)));
}

void TrafficHistoryWindow::updateAppTable() {
    auto& v = *v_;
    // A day or a whole month: the same summary and table over its span.
    const DaySpan span = historyKeySpan(selectedDay_, today());
    const TrafficTotals day =
        span.first.isValid() ? source_.totals(span.first, span.last) : TrafficTotals{};
    const auto apps =
        span.first.isValid() ? source_.apps(span.first, span.last) : std::vector<AppEntry>{};
    const std::uint64_t total = satAdd(day.in, day.out);

    v.summaryLabel->setText(historySummaryText(selectedDay_, day.in, day.out));

    std::vector<AppRowRecord> rows;
    rows.reserve(apps.size());
    for (const auto& app : apps) {
        AppRowRecord r;
        r.name = app.name;
        r.inBytes = app.traffic.bytesIn;
        r.outBytes = app.traffic.bytesOut;
        r.total = satAdd(r.inBytes, r.outBytes);
        r.pct = total > 0 ? static_cast<double>(r.total) / static_cast<double>(total) : 0.0;
        rows.push_back(std::move(r));
    }
    tableDS_->rows = std::move(rows);
    tableDS_->reloadData();

    QTableView* table = v.tableView;
    const QHeaderView* hdr = table->horizontalHeader();
    const int headerH =
        hdr && !hdr->isHidden()
            ? std::clamp(hdr->sizeHint().height(), hdr->minimumHeight(), hdr->maximumHeight())
            : 24;
    table->resize(historyTableSize(table->width(), headerH,
                                   table->verticalHeader()->defaultSectionSize(),
                                   static_cast<int>(tableDS_->rows.size())));
}

QWidget* TrafficHistoryWindow::window() const {
    return v_->window.get();
}
TrafficChartView* TrafficHistoryWindow::chartView() const {
    return v_->chartView;
}
QTableView* TrafficHistoryWindow::tableView() const {
    return v_->tableView;
}
AppTableDataSource& TrafficHistoryWindow::tableDS() const {
    return *tableDS_;
}
SegmentedControl* TrafficHistoryWindow::dateSegmented() const {
    return v_->dateSegmented;
}
SegmentedControl* TrafficHistoryWindow::rangeSegmented() const {
    return v_->rangeSegmented;
}
QString TrafficHistoryWindow::allowanceText() const {
    const QString use = v_->allowanceUse->text();
    return use.isEmpty() ? use : use + QLatin1Char('\n') + v_->allowanceProjection->text();
}
QWidget* TrafficHistoryWindow::headerCard() const {
    return v_->header;
}
QLabel* TrafficHistoryWindow::totalDownLabel() const {
    return v_->totalDownLabel;
}
QLabel* TrafficHistoryWindow::totalUpLabel() const {
    return v_->totalUpLabel;
}
QString TrafficHistoryWindow::summaryText() const {
    return v_->summaryLabel->text();
}
const QStringList& TrafficHistoryWindow::dayKeys() const {
    return dayKeys_;
}
const QString& TrafficHistoryWindow::selectedDay() const {
    return selectedDay_;
}

void TrafficHistoryWindow::setRecentDaysSource(std::function<QStringList()> source) {
    recentDaysSource_ = std::move(source);
}

void TrafficHistoryWindow::setAllowanceSource(std::function<AllowanceSettings()> source) {
    allowanceSource_ = std::move(source);
}
