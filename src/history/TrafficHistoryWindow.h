#pragma once

#include "Allowance.h"
#include "HistorySource.h"
#include "TrafficRecorder.h"

#include <QSize>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

class AppTableDataSource;
class QLabel;
class QObject;
class QStyle;
class QTableView;
class QWidget;
class SegmentedControl;
class TrafficChartView;

// Width of each of n day segments for a content view of the given width: the content width
// less 40 shared equally, at least 60. Zero when there are no segments.
double historySegmentWidth(double contentWidth, int n);

// The size the application table takes: its header and rows tall, its current width wide,
// or 560 when it has had no width yet.
QSize historyTableSize(int currentWidth, int headerHeight, int rowHeight, int rows);

// The summary line of a day: its key and its download, upload and total.
QString historySummaryText(const QString& dayKey, std::uint64_t in, std::uint64_t out);

struct AppRowRecord;

// The line under the table that explains shares not adding up to 100 %: the day's bytes no
// application accounts for, per direction. Empty when there are no application rows or the
// applications account for everything.
QString historyUnattributedText(std::uint64_t dayIn, std::uint64_t dayOut,
                                const std::vector<AppRowRecord>& rows);

// Builds and runs the traffic history window: today's totals (and this cycle's use of the
// allowance when one is set), a range selector, the chart of the range's days or months, a
// selector of those, and the chosen day's or month's applications. It reads the recorder and never
// writes it. Closing the window only hides it; show() brings the same window back up to date.
class TrafficHistoryWindow {
public:
    explicit TrafficHistoryWindow(TrafficRecorder& recorder = TrafficRecorder::shared());
    ~TrafficHistoryWindow();
    TrafficHistoryWindow(const TrafficHistoryWindow&) = delete;
    TrafficHistoryWindow& operator=(const TrafficHistoryWindow&) = delete;

    // Re-reads the recorder into the header, chart, selector, summary and table.
    void refresh();
    // Refreshes and brings the window to the front.
    void show();

    // The selector's action with its selected index; -1 or an index past the days does nothing.
    void onDateSelect(int index);
    // Follows a new window size with the segment widths.
    void windowDidResize();

    // The span shown: seven days (the first choice), thirty days or twelve months.
    HistoryRange range() const;
    void setRange(HistoryRange range);

    // Read access for the program's tests and the screenshot tool.
    QWidget* window() const;
    TrafficChartView* chartView() const;
    QTableView* tableView() const;
    AppTableDataSource& tableDS() const;
    SegmentedControl* dateSegmented() const;
    SegmentedControl* rangeSegmented() const;
    // The allowance line of the header; empty while no allowance is set.
    QString allowanceText() const;
    QWidget* headerCard() const;
    QLabel* totalDownLabel() const;
    QLabel* totalUpLabel() const;
    QString summaryText() const;
    QString unattributedText() const;
    const QStringList& dayKeys() const;
    const QString& selectedDay() const;

    // Where the offered days come from (default: the recorder's seven most recent days).
    // Lets tests move "today" without waiting for midnight.
    void setRecentDaysSource(std::function<QStringList()> source);
    // Where the allowance settings come from (default: Quillfern.conf).
    void setAllowanceSource(std::function<AllowanceSettings()> source);

private:
    void build();
    void updateAppTable();
    void applySegmentWidths();
    void refreshAllowance(QDate today);
    QDate today() const;

    struct Views;
    TrafficRecorder& m_recorder;
    std::unique_ptr<AppTableDataSource> m_tableDataSource;
    std::unique_ptr<QStyle> m_style;
    std::unique_ptr<Views> m_views;
    QObject* m_resizeObserver = nullptr;
    std::function<QStringList()> m_recentDaysSource;
    std::function<AllowanceSettings()> m_allowanceSource;
    RecorderHistorySource m_source;
    HistoryRange m_range = HistoryRange::Week;
    QStringList m_dayKeys;
    QString m_selectedDay;
};
