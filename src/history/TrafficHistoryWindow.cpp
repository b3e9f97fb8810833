#include "TrafficHistoryWindow.h"

#include "AllowanceText.h"
#include "AllowanceWatcher.h"
#include "AppSettings.h"
#include "AppTableDataSource.h"
#include "DayKey.h"
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
#include <QShortcut>
#include <QStyle>
#include <QStyleFactory>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <limits>

namespace {

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

    QString text() const { return m_text; }
    void setText(const QString& t) {
        m_text = t;
        setToolTip(t);
        update();
    }
    QSize sizeHint() const override {
        const QMargins m = contentsMargins();
        return {fontMetrics().horizontalAdvance(m_text) + m.left() + m.right(),
                fontMetrics().height() + m.top() + m.bottom()};
    }
    QSize minimumSizeHint() const override { return {0, sizeHint().height()}; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const QRect r = contentsRect();
        p.setPen(palette().color(QPalette::WindowText));
        p.drawText(r, Qt::AlignLeft | Qt::AlignVCenter,
                   fontMetrics().elidedText(m_text, Qt::ElideRight, r.width()));
    }

private:
    QString m_text;
};

// Calls back when the watched widget changes size.
class ResizeObserver : public QObject {
public:
    ResizeObserver(QObject* parent, std::function<void()> onResize)
        : QObject(parent), m_onResize(std::move(onResize)) {}

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Resize && m_onResize) {
            m_onResize();
        }
        return false;
    }

private:
    std::function<void()> m_onResize;
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
        .arg(dayKey, fmtBytesTraffic(in), fmtBytesTraffic(out),
             fmtBytesTraffic(saturatingAdd(in, out)));
}

QString historyUnattributedText(std::uint64_t dayIn, std::uint64_t dayOut,
                                const std::vector<AppRowRecord>& rows) {
    if (rows.empty()) {
        return {};
    }
    ByteCounts apps;
    for (const AppRowRecord& r : rows) {
        apps += r.bytes;
    }
    // Per direction: applications that moved more than the day in one direction say nothing
    // about the other.
    const ByteCounts day{dayIn, dayOut};
    const ByteCounts rest = growthSince(day, apps);
    if (rest.isZero() || day.total() == 0) {
        return {};
    }
    const double pct = static_cast<double>(rest.total()) / static_cast<double>(day.total()) * 100;
    return QCoreApplication::translate("TrafficHistoryWindow",
                                       "未归属到应用：下载 %1 · 上传 %2 · 占比 %3%")
        .arg(fmtBytesTraffic(rest.in), fmtBytesTraffic(rest.out), fmtFixed(pct, 1));
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
    ElidingLabel* unattributedLabel = nullptr;
    QScrollArea* scroll = nullptr;
};

TrafficHistoryWindow::TrafficHistoryWindow(TrafficRecorder& recorder)
    : m_recorder(recorder), m_tableDataSource(std::make_unique<AppTableDataSource>()),
      m_views(std::make_unique<Views>()), m_source(recorder) {
    build();
    refresh();
    m_views->window->show();
    m_views->window->raise();
    m_views->window->activateWindow();
    // Observe sizes only once the window is up, as a did-resize notification would.
    m_resizeObserver = new ResizeObserver(m_views->window.get(), [this] { windowDidResize(); });
    m_views->window->installEventFilter(m_resizeObserver);
}

TrafficHistoryWindow::~TrafficHistoryWindow() {
    // Cut every path by which the window could call back before the views go.
    if (m_views->window && m_resizeObserver) {
        m_views->window->removeEventFilter(m_resizeObserver);
        delete m_resizeObserver;
        m_resizeObserver = nullptr;
    }
    if (m_views->dateSegmented) {
        m_views->dateSegmented->setAction(nullptr);
    }
    if (m_views->rangeSegmented) {
        m_views->rangeSegmented->setAction(nullptr);
    }
    m_views->window.reset();
}

void TrafficHistoryWindow::build() {
    auto& v = *m_views;
    v.window = std::make_unique<QWidget>(nullptr, Qt::Window);
    QWidget* win = v.window.get();
    win->resize(600, 660);
    win->setWindowTitle(QCoreApplication::translate("TrafficHistoryWindow", "流量统计"));
    win->setMinimumSize(520, 580);
    if (QScreen* screen = win->screen()) {
        const QRect avail = screen->availableGeometry();
        // The window's own area, not its frame: move() would place the frame's corner there,
        // and a window manager with tall frames (mutter) would push the window well below
        // the centre.
        win->setGeometry(QRect(avail.center() - QPoint(300, 330), QSize(600, 660)));
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

    v.unattributedLabel = new ElidingLabel;
    v.unattributedLabel->setFont(historyFont(11, QFont::Normal));
    v.unattributedLabel->setPalette(v.summaryLabel->palette());
    v.unattributedLabel->setContentsMargins(2, 0, 2, 0);
    v.unattributedLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    v.unattributedLabel->hide();

    v.tableView = m_tableDataSource->makeTableView();

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
        QTableView* t = m_views->tableView;
        t->resize(m_views->scroll->viewport()->width(), t->height());
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
    content->addSpacing(6);
    content->addWidget(v.unattributedLabel);

    // A dark Fusion look of the window's own, whatever the desktop's style and colours.
    m_style.reset(QStyleFactory::create(QStringLiteral("Fusion")));
    if (m_style) {
        win->setStyle(m_style.get());
        for (QWidget* w : win->findChildren<QWidget*>()) {
            w->setStyle(m_style.get());
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
    if (m_recentDaysSource) {
        const QStringList keys = m_recentDaysSource();
        if (!keys.isEmpty()) {
            return QDate::fromString(keys.last(), Qt::ISODate);
        }
    }
    return m_source.today();
}

void TrafficHistoryWindow::refresh() {
    auto& v = *m_views;
    const auto todayRecord = m_recorder.getToday();
    const DailyTraffic t = todayRecord.value_or(DailyTraffic{});
    v.totalDownLabel->setText(QStringLiteral("↓ ") + fmtBytesTraffic(t.total.in));
    v.totalUpLabel->setText(QStringLiteral("↑ ") + fmtBytesTraffic(t.total.out));

    const QDate today = this->today();
    refreshAllowance(today);
    if (m_range == HistoryRange::Week) {
        m_dayKeys = m_recentDaysSource ? m_recentDaysSource() : DayKey::lastDays(today, 7);
    } else {
        m_dayKeys = historyRangeKeys(m_range, today);
    }

    std::vector<ChartDayRecord> chart;
    chart.reserve(static_cast<std::size_t>(m_dayKeys.size()));
    for (const QString& key : m_dayKeys) {
        const DaySpan span = DayKey::span(key, today);
        chart.push_back(
            {key, span.first.isValid() ? m_source.totals(span.first, span.last) : ByteCounts{}});
    }

    const auto n = static_cast<int>(m_dayKeys.size());
    v.dateSegmented->setSegmentCount(n);
    for (int i = 0; i < n; ++i) {
        const auto& day = chart[static_cast<std::size_t>(i)];
        v.dateSegmented->setLabel(
            DayKey::label(day.date) + QLatin1Char('\n') + fmtBytesTraffic(day.bytes.total()), i);
    }
    v.chartView->dailyData = std::move(chart);
    v.chartView->update();

    applySegmentWidths();

    if (m_selectedDay.isEmpty() || !m_dayKeys.contains(m_selectedDay)) {
        m_selectedDay = m_dayKeys.isEmpty() ? QString() : m_dayKeys.last();
    }
    const auto idx = m_dayKeys.indexOf(m_selectedDay);
    if (idx >= 0) {
        v.dateSegmented->setSelectedSegment(static_cast<int>(idx));
        if (QAbstractButton* b = v.dateSegmented->segmentButton(static_cast<int>(idx))) {
            v.daysScroll->ensureWidgetVisible(b, 0, 0);
        }
    }
    updateAppTable();
}

void TrafficHistoryWindow::refreshAllowance(QDate today) {
    auto& v = *m_views;
    const AllowanceSettings a = m_allowanceSource ? m_allowanceSource() : [] {
        AppSettings settings;
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
    const AllowanceStatus st = allowanceCurrent(m_source, a, today, fraction);
    v.allowanceUse->setText(allowanceUseText(st));
    v.allowanceProjection->setText(allowanceProjectionText(st));
    v.allowanceBar->setFraction(st.fraction);
}

HistoryRange TrafficHistoryWindow::range() const {
    return m_range;
}

void TrafficHistoryWindow::setRange(HistoryRange range) {
    auto& v = *m_views;
    m_range = range;
    v.rangeSegmented->setSelectedSegment(static_cast<int>(range));
    const bool week = range == HistoryRange::Week;
    v.daysScroll->setHorizontalScrollBarPolicy(week ? Qt::ScrollBarAlwaysOff
                                                    : Qt::ScrollBarAsNeeded);
    v.daysScroll->setFixedHeight(week ? 32 : 40);
    refresh();
}

void TrafficHistoryWindow::show() {
    refresh();
    QWidget* win = m_views->window.get();
    win->show();
    if (win->isMinimized()) {
        win->showNormal();
    }
    win->raise();
    win->activateWindow();
}

void TrafficHistoryWindow::onDateSelect(int index) {
    if (index < 0 || index >= m_dayKeys.size()) {
        return;
    }
    m_selectedDay = m_dayKeys[index];
    updateAppTable();
}

void TrafficHistoryWindow::windowDidResize() {
    applySegmentWidths();
}

void TrafficHistoryWindow::applySegmentWidths() {
    if (m_dayKeys.isEmpty()) {
        return;
    }
    const auto n = static_cast<int>(m_dayKeys.size());
    const double s = historySegmentWidth(m_views->window->width(), n);
    for (int i = 0; i < n; ++i) {
        m_views->dateSegmented->setSegmentWidth(s, i);
    }
    // Past the visible width the row scrolls rather than squeezing its segments.
    m_views->dateSegmented->setMinimumWidth(
        m_range == HistoryRange::Week ? 0 : static_cast<int>(std::ceil(s * n)));
}

void TrafficHistoryWindow::updateAppTable() {
    auto& v = *m_views;
    // A day or a whole month: the same summary and table over its span.
    const DaySpan span = DayKey::span(m_selectedDay, today());
    const ByteCounts day =
        span.first.isValid() ? m_source.totals(span.first, span.last) : ByteCounts{};
    const auto apps =
        span.first.isValid() ? m_source.apps(span.first, span.last) : std::vector<AppEntry>{};

    v.summaryLabel->setText(historySummaryText(m_selectedDay, day.in, day.out));

    std::vector<AppRowRecord> rows;
    rows.reserve(apps.size());
    for (const auto& app : apps) {
        AppRowRecord r;
        r.name = app.name;
        r.bytes = app.traffic;
        r.pct = day.total() > 0
                    ? static_cast<double>(r.bytes.total()) / static_cast<double>(day.total())
                    : 0.0;
        rows.push_back(std::move(r));
    }
    QString unattributed = historyUnattributedText(day.in, day.out, rows);
    if (const QString note = m_source.storeNote(); !note.isEmpty())
        unattributed = unattributed.isEmpty() ? note : note + QStringLiteral(" · ") + unattributed;
    v.unattributedLabel->setText(unattributed);
    v.unattributedLabel->setVisible(!unattributed.isEmpty());
    m_tableDataSource->rows = std::move(rows);
    m_tableDataSource->reloadData();

    QTableView* table = v.tableView;
    const QHeaderView* hdr = table->horizontalHeader();
    const int headerH =
        hdr && !hdr->isHidden()
            ? std::clamp(hdr->sizeHint().height(), hdr->minimumHeight(), hdr->maximumHeight())
            : 24;
    table->resize(historyTableSize(table->width(), headerH,
                                   table->verticalHeader()->defaultSectionSize(),
                                   static_cast<int>(m_tableDataSource->rows.size())));
}

QWidget* TrafficHistoryWindow::window() const {
    return m_views->window.get();
}
TrafficChartView* TrafficHistoryWindow::chartView() const {
    return m_views->chartView;
}
QTableView* TrafficHistoryWindow::tableView() const {
    return m_views->tableView;
}
AppTableDataSource& TrafficHistoryWindow::tableDS() const {
    return *m_tableDataSource;
}
SegmentedControl* TrafficHistoryWindow::dateSegmented() const {
    return m_views->dateSegmented;
}
SegmentedControl* TrafficHistoryWindow::rangeSegmented() const {
    return m_views->rangeSegmented;
}
QString TrafficHistoryWindow::allowanceText() const {
    const QString use = m_views->allowanceUse->text();
    return use.isEmpty() ? use : use + QLatin1Char('\n') + m_views->allowanceProjection->text();
}
QWidget* TrafficHistoryWindow::headerCard() const {
    return m_views->header;
}
QLabel* TrafficHistoryWindow::totalDownLabel() const {
    return m_views->totalDownLabel;
}
QLabel* TrafficHistoryWindow::totalUpLabel() const {
    return m_views->totalUpLabel;
}
QString TrafficHistoryWindow::summaryText() const {
    return m_views->summaryLabel->text();
}
QString TrafficHistoryWindow::unattributedText() const {
    return m_views->unattributedLabel->text();
}
const QStringList& TrafficHistoryWindow::dayKeys() const {
    return m_dayKeys;
}
const QString& TrafficHistoryWindow::selectedDay() const {
    return m_selectedDay;
}

void TrafficHistoryWindow::setRecentDaysSource(std::function<QStringList()> source) {
    m_recentDaysSource = std::move(source);
}

void TrafficHistoryWindow::setAllowanceSource(std::function<AllowanceSettings()> source) {
    m_allowanceSource = std::move(source);
}
