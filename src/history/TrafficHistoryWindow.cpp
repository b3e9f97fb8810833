#include "TrafficHistoryWindow.h"

#include "AllowanceText.h"
#include "AllowanceWatcher.h"
#include "AppEntries.h"
#include "AppSettings.h"
#include "AppTableDataSource.h"
#include "DayKey.h"
#include "Formatters.h"
#include "HistoryText.h"
#include "HistoryWidgets.h"
#include "SegmentedControl.h"
#include "TrafficChartView.h"
#include "TrafficTheme.h"
#include "Translations.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <optional>

namespace {

QLabel* makeLabel(const QString& text, const QFont& font, const QColor& color) {
    auto* label = new QLabel(text);
    TrafficTheme::setText(*label, color, font);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    // A very long total must not push the window's minimum width past its set minimum.
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    return label;
}

// A text line between the window's parts: 18 from the sides, two more than its neighbours.
ElidingLabel* makeLine(const QFont& font) {
    auto* line = new ElidingLabel;
    TrafficTheme::setText(*line, TrafficTheme::textSecondary(), font);
    line->setContentsMargins(2, 0, 2, 0);
    line->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    return line;
}

} // namespace

TrafficHistoryWindow::TrafficHistoryWindow(const HistorySource& source, QWidget* parent)
    : QWidget(parent, Qt::Window), m_source(source) {
    setWindowTitle(tr("流量统计"));
    setMinimumSize(520, 580);
    resize(600, 660);
    setPalette(TrafficTheme::palette());
    setAutoFillBackground(true);
    setFont(historyFont(13));
    // The usual close keys hide the window like its close button does.
    for (auto key : {QKeySequence(QKeySequence::Close), QKeySequence(Qt::Key_Escape)}) {
        connect(new QShortcut(key, this), &QShortcut::activated, this, &QWidget::close);
    }

    auto* content = new QVBoxLayout(this);
    content->setContentsMargins(16, 16, 16, 16);
    content->setSpacing(0);
    content->addWidget(buildHeader());
    content->addSpacing(12);
    buildSelectors();
    content->addWidget(m_rangeSelector, 0, Qt::AlignLeft);
    content->addSpacing(8);
    content->addWidget(m_chart);
    content->addSpacing(10);
    content->addWidget(m_daysScroll);
    content->addSpacing(8);
    buildAppsArea();
    content->addWidget(m_summary);
    content->addSpacing(8);
    content->addWidget(m_tableScroll, 1);
    content->addSpacing(6);
    content->addWidget(m_unattributed);

    if (QStyle* style = TrafficTheme::style()) {
        setStyle(style);
        for (QWidget* w : findChildren<QWidget*>()) {
            w->setStyle(style);
        }
    }
    m_table->horizontalHeader()->setStyleSheet(TrafficTheme::tableHeaderSheet());
    m_daysScroll->horizontalScrollBar()->setStyleSheet(TrafficTheme::horizontalScrollerSheet());
    m_tableScroll->verticalScrollBar()->setStyleSheet(TrafficTheme::verticalScrollerSheet());

    if (QScreen* screen = this->screen()) {
        // The window's own area, not its frame: move() would place the frame's corner there,
        // and a window manager with tall frames (mutter) would push the window well below
        // the centre.
        setGeometry(
            QRect(screen->availableGeometry().center() - QPoint(300, 330), QSize(600, 660)));
    }
}

QWidget* TrafficHistoryWindow::buildHeader() {
    m_header = new HeaderCard;
    m_header->setFixedHeight(96);
    auto* card = new QVBoxLayout(m_header);
    card->setContentsMargins(16, 0, 16, 0);
    card->setSpacing(0);
    auto* row = new QHBoxLayout;
    row->setSpacing(0);
    card->addLayout(row);
    const auto column = [row](const QString& caption, const QColor& color, const char* name) {
        auto* col = new QVBoxLayout;
        col->setSpacing(6);
        col->setAlignment(Qt::AlignVCenter);
        col->addWidget(makeLabel(caption, historyFont(11, QFont::Medium), TrafficTheme::textDim()));
        QLabel* total = makeLabel({}, historyFont(26, QFont::Bold, true), color);
        total->setObjectName(QLatin1String(name));
        col->addWidget(total);
        row->addLayout(col, 1);
        return total;
    };
    m_totalDown = column(tr("今日下载"), TrafficTheme::downBlue(), "todayDown");
    m_totalUp = column(tr("今日上传"), TrafficTheme::upGreen(), "todayUp");

    // This cycle against the allowance, under the totals; only there while one is set.
    m_allowanceRow = new QWidget;
    auto* lines = new QVBoxLayout(m_allowanceRow);
    lines->setContentsMargins(0, 0, 0, 14);
    lines->setSpacing(5);
    auto* texts = new QHBoxLayout;
    m_allowanceUse = new QLabel;
    m_allowanceUse->setObjectName(QStringLiteral("allowanceUse"));
    m_allowanceProjection = new QLabel;
    m_allowanceProjection->setObjectName(QStringLiteral("allowanceProjection"));
    for (QLabel* l : {m_allowanceUse, m_allowanceProjection}) {
        TrafficTheme::setText(*l, TrafficTheme::textSecondary(), historyFont(11, QFont::Medium));
        l->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    }
    m_allowanceProjection->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    texts->addWidget(m_allowanceUse, 3);
    texts->addWidget(m_allowanceProjection, 2);
    lines->addLayout(texts);
    m_allowanceBar = new AllowanceBar;
    m_allowanceBar->setFixedHeight(6);
    lines->addWidget(m_allowanceBar);
    m_allowanceRow->hide();
    card->addWidget(m_allowanceRow);
    return m_header;
}

void TrafficHistoryWindow::buildSelectors() {
    m_rangeSelector = new SegmentedControl;
    m_rangeSelector->setObjectName(QStringLiteral("rangeSelector"));
    m_rangeSelector->setFixedHeight(28);
    m_rangeSelector->setSegmentCount(3);
    const QStringList labels = {tr("7 天"), tr("30 天"), tr("12 个月")};
    for (int i = 0; i < 3; ++i) {
        m_rangeSelector->setLabel(labels[i], i);
        m_rangeSelector->setSegmentWidth(84, i);
    }
    m_rangeSelector->setSelectedSegment(0);
    connect(m_rangeSelector, &SegmentedControl::activated, this, [this](int i) {
        if (i >= 0 && i < 3) {
            setRange(static_cast<HistoryRange>(i));
        }
    });

    m_chart = new TrafficChartView;
    m_chart->setObjectName(QStringLiteral("chart"));
    m_chart->setFixedHeight(196);

    m_daySelector = new SegmentedControl;
    m_daySelector->setObjectName(QStringLiteral("daySelector"));
    m_daySelector->setFixedHeight(32);
    connect(m_daySelector, &SegmentedControl::activated, this, &TrafficHistoryWindow::selectDay);

    // Thirty days or twelve months do not fit the width: the selector scrolls sideways.
    m_daysScroll = new QScrollArea;
    m_daysScroll->setWidget(m_daySelector);
    m_daysScroll->setWidgetResizable(true);
    m_daysScroll->setFrameShape(QFrame::NoFrame);
    m_daysScroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_daysScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_daysScroll->setFixedHeight(32);
    m_daysScroll->setAutoFillBackground(false);
    m_daysScroll->viewport()->setAutoFillBackground(false);
}

void TrafficHistoryWindow::buildAppsArea() {
    m_summary = makeLine(historyFont(12, QFont::Medium));
    m_summary->setObjectName(QStringLiteral("summary"));
    m_unattributed = makeLine(historyFont(11, QFont::Normal));
    m_unattributed->setObjectName(QStringLiteral("unattributed"));
    m_unattributed->hide();

    m_apps = new AppTableDataSource(this);
    m_apps->setAppEntries(&AppEntries::shared(i18n::desktopLocale()));
    m_table = makeAppTableView(m_apps);
    // The table is as tall as its rows and scrolls inside the window as a whole.
    m_tableScroll = new VerticalScrollArea;
    m_tableScroll->setWidget(m_table);
}

void TrafficHistoryWindow::refresh() {
    const QDate today = m_source.today();
    refreshAllowance(today);
    m_dayKeys = historyRangeKeys(m_range, today);
    std::vector<ChartDayRecord> chart;
    chart.reserve(static_cast<std::size_t>(m_dayKeys.size()));
    std::optional<ByteCounts> todays;
    const auto n = static_cast<int>(m_dayKeys.size());
    m_daySelector->setSegmentCount(n);
    for (int i = 0; i < n; ++i) {
        const DaySpan span = DayKey::span(m_dayKeys[i], today);
        const ByteCounts d = m_source.totals(span.first, span.last);
        if (span.first == today && span.last == today) {
            todays = d; // the header's figures, without asking the source twice
        }
        chart.push_back({m_dayKeys[i], d});
        m_daySelector->setLabel(
            DayKey::label(m_dayKeys[i]) + QLatin1Char('\n') + fmtBytesTraffic(d.total()), i);
    }
    m_chart->setDays(std::move(chart));
    if (!todays && today.isValid()) {
        todays = m_source.totals(today, today);
    }
    m_totalDown->setText(QStringLiteral("↓ ") + fmtBytesTraffic(todays.value_or(ByteCounts{}).in));
    m_totalUp->setText(QStringLiteral("↑ ") + fmtBytesTraffic(todays.value_or(ByteCounts{}).out));
    applySegmentWidths();

    if (!m_dayKeys.contains(m_selectedDay)) {
        m_selectedDay = m_dayKeys.isEmpty() ? QString() : m_dayKeys.last();
    }
    const auto idx = static_cast<int>(m_dayKeys.indexOf(m_selectedDay));
    m_daySelector->setSelectedSegment(idx);
    if (QAbstractButton* b = m_daySelector->segmentButton(idx)) {
        m_daysScroll->ensureWidgetVisible(b, 0, 0);
    }
    updateAppTable();
}

void TrafficHistoryWindow::refreshAllowance(QDate today) {
    const AllowanceSettings a = m_allowanceSource ? m_allowanceSource() : [] {
        AppSettings settings;
        return allowanceLoad(settings);
    }();
    m_allowanceRow->setVisible(a.enabled);
    m_header->setFixedHeight(a.enabled ? 136 : 96);
    if (!a.enabled) {
        m_allowanceUse->clear();
        m_allowanceProjection->clear();
        return;
    }
    const QDateTime now = QDateTime::currentDateTime();
    const double fraction = now.date() == today ? allowanceDayFraction(now) : 1.0;
    const AllowanceStatus st = allowanceCurrent(m_source, a, today, fraction);
    m_allowanceUse->setText(allowanceUseText(st));
    m_allowanceProjection->setText(allowanceProjectionText(st));
    m_allowanceBar->setFraction(st.fraction);
}

void TrafficHistoryWindow::setRange(HistoryRange range) {
    m_range = range;
    m_rangeSelector->setSelectedSegment(static_cast<int>(range));
    const bool week = range == HistoryRange::Week;
    m_daysScroll->setHorizontalScrollBarPolicy(week ? Qt::ScrollBarAlwaysOff
                                                    : Qt::ScrollBarAsNeeded);
    m_daysScroll->setFixedHeight(week ? 32 : 40);
    refresh();
}

void TrafficHistoryWindow::setAllowanceSource(std::function<AllowanceSettings()> source) {
    m_allowanceSource = std::move(source);
}

void TrafficHistoryWindow::present() {
    refresh();
    show();
    if (isMinimized()) {
        showNormal();
    }
    raise();
    activateWindow();
}

void TrafficHistoryWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    applySegmentWidths();
}

void TrafficHistoryWindow::selectDay(int index) {
    if (index >= 0 && index < m_dayKeys.size()) {
        m_selectedDay = m_dayKeys[index];
        updateAppTable();
    }
}

void TrafficHistoryWindow::applySegmentWidths() {
    const auto n = static_cast<int>(m_dayKeys.size());
    if (n == 0) {
        return;
    }
    const double s = historySegmentWidth(width(), n);
    for (int i = 0; i < n; ++i) {
        m_daySelector->setSegmentWidth(s, i);
    }
    // Past the visible width the row scrolls rather than squeezing its segments.
    m_daySelector->setMinimumWidth(
        m_range == HistoryRange::Week ? 0 : static_cast<int>(std::ceil(s * n)));
}

void TrafficHistoryWindow::updateAppTable() {
    // A day or a whole month: the same summary and table over its span.
    const DaySpan span = DayKey::span(m_selectedDay, m_source.today());
    const bool any = span.first.isValid();
    const ByteCounts sum = any ? m_source.totals(span.first, span.last) : ByteCounts{};
    m_summary->setText(historySummaryText(m_selectedDay, sum));
    m_apps->setRows(historyAppRows(
        any ? m_source.apps(span.first, span.last) : std::vector<AppEntry>{}, sum.total()));
    QString unattributed = historyUnattributedText(sum, m_apps->rows());
    if (const QString note = m_source.storeNote(); !note.isEmpty())
        unattributed = unattributed.isEmpty() ? note : note + QStringLiteral(" · ") + unattributed;
    m_unattributed->setText(unattributed);
    m_unattributed->setVisible(!unattributed.isEmpty());

    const QHeaderView* hdr = m_table->horizontalHeader();
    const int headerH =
        std::clamp(hdr->sizeHint().height(), hdr->minimumHeight(), hdr->maximumHeight());
    m_table->resize(historyTableSize(m_table->width(), headerH,
                                     m_table->verticalHeader()->defaultSectionSize(),
                                     m_apps->rowCount()));
}
