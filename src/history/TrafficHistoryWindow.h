#pragma once

#include "Allowance.h"
#include "HistorySource.h"

#include <QStringList>
#include <QWidget>
#include <functional>

class AllowanceBar;
class AppTableDataSource;
class ElidingLabel;
class HeaderCard;
class QLabel;
class QScrollArea;
class QTableView;
class SegmentedControl;
class TrafficChartView;

// The traffic history window: today's totals (and this cycle's use of the allowance when one
// is set), a range selector, the chart of the range's days or months, a selector of those, and
// the chosen day's or month's applications. It reads its source, which must outlive it, and
// never writes anything. Closing the window only hides it; present() brings the same window
// back up to date.
class TrafficHistoryWindow : public QWidget {
    Q_OBJECT
public:
    explicit TrafficHistoryWindow(const HistorySource& source, QWidget* parent = nullptr);

    // Re-reads the source into the header, chart, selector, summary and table.
    void refresh();
    // Refreshes, shows the window (also when minimized) and brings it to the front.
    void present();

    // The span shown: seven days (the first choice), thirty days or twelve months.
    HistoryRange range() const { return m_range; }
    void setRange(HistoryRange range);

    // Where the allowance settings come from (default: Quillfern.conf).
    void setAllowanceSource(std::function<AllowanceSettings()> source);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QWidget* buildHeader();
    void buildSelectors();
    void buildAppsArea();
    void selectDay(int index);
    void updateAppTable();
    void applySegmentWidths();
    void refreshAllowance(QDate today);

    const HistorySource& m_source;
    std::function<AllowanceSettings()> m_allowanceSource;
    HistoryRange m_range = HistoryRange::Week;
    QStringList m_dayKeys;
    QString m_selectedDay;

    HeaderCard* m_header = nullptr;
    QLabel* m_totalDown = nullptr;
    QLabel* m_totalUp = nullptr;
    QWidget* m_allowanceRow = nullptr;
    QLabel* m_allowanceUse = nullptr;
    QLabel* m_allowanceProjection = nullptr;
    AllowanceBar* m_allowanceBar = nullptr;
    SegmentedControl* m_rangeSelector = nullptr;
    TrafficChartView* m_chart = nullptr;
    QScrollArea* m_daysScroll = nullptr;
    SegmentedControl* m_daySelector = nullptr;
    ElidingLabel* m_summary = nullptr;
    AppTableDataSource* m_apps = nullptr;
    QTableView* m_table = nullptr;
    QScrollArea* m_tableScroll = nullptr;
    ElidingLabel* m_unattributed = nullptr;
};
