#include "AppTableDataSource.h"
#include "FakeHistorySource.h"
#include "HistoryWidgets.h"
#include "SegmentedControl.h"
#include "TrafficChartView.h"
#include "TrafficHistoryWindow.h"

#include <QLabel>
#include <QTableView>
#include <gtest/gtest.h>

namespace {

constexpr std::uint64_t kMax = UINT64_MAX;
const QDate kToday(2026, 3, 10);

// A window over a fake source ending with kToday, without an allowance unless a test sets one.
class HistoryWindowTest : public ::testing::Test {
protected:
    HistoryWindowTest() {
        source.now = kToday;
        window.setAllowanceSource([this] { return allowance; });
        window.present();
    }
    QString text(const char* line) const { return window.findChild<ElidingLabel*>(line)->text(); }
    auto* selector(const char* name) const { return window.findChild<SegmentedControl*>(name); }
    void click(const char* name, int segment) { selector(name)->segmentButton(segment)->click(); }
    QAbstractItemModel* apps() const { return window.findChild<QTableView*>()->model(); }
    QString cell(int row, int column) const { return apps()->index(row, column).data().toString(); }

    FakeHistorySource source;
    AllowanceSettings allowance;
    TrafficHistoryWindow window{source};
};

TEST_F(HistoryWindowTest, TextsRowsAndSharesOfEachDay) {
    const QDate first = kToday.addDays(-6);
    source.days = {{first, {10000, 5000}}, {kToday.addDays(-2), {1000, 1000}}};
    source.dayApps = {{first, {{"Firefox", {3000, 1000}}, {"curl", {6000, 0}}}},
                      {kToday.addDays(-3), {{"idle", {10, 0}}}},
                      {kToday.addDays(-2), {{"big", {3000, 0}}}}};
    window.refresh();
    EXPECT_EQ(selector("daySelector")->label(0), "3/4\n14.6 KB");
    EXPECT_EQ(apps()->rowCount(), 0); // no record at all: an empty table

    click("daySelector", 0);
    EXPECT_EQ(text("summary"),
              "应用流量明细 · 2026-03-04    下载 9.8 KB · 上传 4.9 KB · 合计 14.6 KB");
    ASSERT_EQ(apps()->rowCount(), 2);
    EXPECT_EQ(cell(0, AppName), "curl");
    EXPECT_EQ(cell(1, AppShare), "26.7%");
    // What the applications leave of the day, per direction.
    EXPECT_EQ(text("unattributed"), "未归属到应用：下载 1000 B · 上传 3.9 KB · 占比 33.3%");

    click("daySelector", 3); // applications without totals: every share is 0
    EXPECT_EQ(cell(0, AppShare), "0.0%");
    click("daySelector", 4); // an application above the day's totals leaves nothing below zero
    EXPECT_EQ(cell(0, AppShare), "150.0%"); // not clamped
    EXPECT_EQ(text("unattributed"), "未归属到应用：下载 0 B · 上传 1000 B · 占比 50.0%");
}

TEST_F(HistoryWindowTest, TheChosenDayStaysUntilItLeavesTheRange) {
    click("daySelector", 2);
    // Two days later the chosen day is the oldest of the seven and stays chosen...
    source.now = kToday.addDays(2);
    window.present();
    EXPECT_EQ(selector("daySelector")->selectedSegment(), 0);
    // ...until it drops out, and today takes its place.
    source.now = kToday.addDays(3);
    window.present();
    EXPECT_EQ(selector("daySelector")->selectedSegment(), 6);
    EXPECT_TRUE(text("summary").contains("2026-03-13"));

    // A source that knows no day at all: nothing offered, nothing chosen, no crash.
    source.now = QDate();
    window.present();
    EXPECT_EQ(selector("daySelector")->segmentCount(), 0);
}

TEST_F(HistoryWindowTest, RangesSumTheirSpansAndTheHeaderShowsTheAllowance) {
    source.days = {
        {kToday, {1000, 10}}, {kToday.addDays(-1), {0, 5}}, {kToday.addDays(-12), {3000, 0}}};
    source.dayApps = {{kToday, {{"a", {600, 0}}}}, {QDate(2026, 2, 27), {{"b", {3000, 0}}}}};
    click("rangeSelector", 1);
    const auto* chart = window.findChild<TrafficChartView*>("chart");
    ASSERT_EQ(chart->days().size(), 30u);
    EXPECT_EQ(chart->days()[17].bytes.in, 3000u);

    // Twelve months: this month so far is chosen; February holds its applications.
    click("rangeSelector", 2);
    ASSERT_EQ(selector("daySelector")->segmentCount(), 12);
    EXPECT_TRUE(text("summary").contains("2026-03    下载 1000 B · 上传 15 B"));
    click("daySelector", 10);
    EXPECT_EQ(cell(0, AppName), "b");
    EXPECT_EQ(window.findChild<QLabel*>("todayUp")->text(), "↑ 10 B"); // today, not the month

    click("rangeSelector", 0);
    // An allowance of 1 GB counting both directions shows this cycle against it.
    allowance = {true, 1, 10, false};
    window.present();
    EXPECT_EQ(window.findChild<QLabel*>("allowanceUse")->text(),
              "本期 3/10–4/9 已用 1010 B / 1.00 GB（0.0%）");
}

TEST_F(HistoryWindowTest, SaturatedCountsNeitherWrapNorOverflow) {
    source.days = {{kToday, {kMax, kMax}}};
    source.dayApps = {{kToday, {{"a", {kMax, kMax}}, {"b", {kMax, 0}}}}};
    window.refresh();
    EXPECT_TRUE(text("summary").endsWith("合计 16777216.00 TB"));
    EXPECT_EQ(cell(0, AppShare), "100.0%");
    EXPECT_EQ(text("unattributed"), "");
}

} // namespace
