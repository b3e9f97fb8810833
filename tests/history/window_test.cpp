#include "AppTableDataSource.h"
#include "SegmentedControl.h"
#include "TrafficChartView.h"
#include "TrafficHistoryWindow.h"
#include "TrafficRecorder.h"
#include "TrafficTheme.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QHeaderView>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPointer>
#include <QResizeEvent>
#include <QScrollArea>
#include <QTableView>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <limits>
#include <memory>

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

QJsonObject dayObject(qint64 in, qint64 out, const QJsonObject& apps = {}) {
    return QJsonObject{{"totalIn", in}, {"totalOut", out}, {"apps", apps}};
}

QJsonObject app(qint64 in, qint64 out) {
    return QJsonObject{{"in", in}, {"out", out}};
}

// A recorder over a traffic file in a temporary directory; the user's files are never read.
class HistoryWindowTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    // Writes the days (keyed by age in days: 0 is today) and opens a recorder on them.
    TrafficRecorder& recorderWith(const std::map<int, QJsonObject>& days) {
        QJsonObject top;
        const QStringList keys = TrafficRecorder(config(false)).recentDays(7);
        for (const auto& [age, obj] : days) {
            top.insert(keys[6 - age], obj);
        }
        // A fresh store each time: the file below is moved into it when it opens.
        recorder.reset();
        for (const char* name : {"traffic.db", "traffic.db-wal", "traffic.db-shm"})
            QFile::remove(dir.filePath(name));
        QFile f(dir.filePath("traffic.json"));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QJsonDocument(top).toJson());
        f.close();
        recorder = std::make_unique<TrafficRecorder>(config(true));
        return *recorder;
    }

    TrafficRecorder::Config config(bool load) const {
        TrafficRecorder::Config c;
        c.dataPath = dir.filePath("traffic.db");
        c.load = load;
        c.toolPath = dir.filePath("no-such-tool");
        return c;
    }

    QTemporaryDir dir;
    std::unique_ptr<TrafficRecorder> recorder;
};

TEST(HistoryPureParts, SummaryAndSegmentWidths) {
    EXPECT_EQ(historySummaryText("2026-03-04", 1536, 0),
              "应用流量明细 · 2026-03-04    下载 1.5 KB · 上传 0 B · 合计 1.5 KB");
    // Sums saturate at the largest count instead of wrapping to a small figure.
    EXPECT_TRUE(historySummaryText("d", kMax, 5).endsWith("合计 16777216.00 TB"));

    EXPECT_DOUBLE_EQ(historySegmentWidth(600, 7), 80);
    EXPECT_DOUBLE_EQ(historySegmentWidth(520, 7), 480.0 / 7);
    EXPECT_DOUBLE_EQ(historySegmentWidth(460, 7), 60);
    EXPECT_DOUBLE_EQ(historySegmentWidth(400, 7), 60);
    EXPECT_DOUBLE_EQ(historySegmentWidth(600, 0), 0);
}

TEST_F(HistoryWindowTest, EmptyRecorderReadsZeroEverywhere) {
    TrafficHistoryWindow w(recorderWith({}));
    EXPECT_EQ(w.window()->windowTitle(), "流量统计");
    EXPECT_EQ(w.window()->minimumSize(), QSize(520, 580));
    EXPECT_EQ(w.window()->size(), QSize(600, 660));
    EXPECT_TRUE(w.window()->isVisible());
    EXPECT_EQ(w.totalDownLabel()->text(), "↓ 0 B");
    EXPECT_EQ(w.totalUpLabel()->text(), "↑ 0 B");

    const QStringList keys = recorder->recentDays(7);
    EXPECT_EQ(w.dayKeys(), keys);
    EXPECT_EQ(w.selectedDay(), keys.last());
    EXPECT_EQ(w.dateSegmented()->segmentCount(), 7);
    EXPECT_EQ(w.dateSegmented()->selectedSegment(), 6);
    EXPECT_EQ(w.dateSegmented()->label(6), TrafficRecorder::displayDate(keys.last()) + "\n0 B");
    EXPECT_EQ(w.summaryText(),
              "应用流量明细 · " + keys.last() + "    下载 0 B · 上传 0 B · 合计 0 B");
    EXPECT_EQ(w.chartView()->dailyData.size(), 7u);
    EXPECT_EQ(w.tableDS().rows.size(), 0u);
    // No rows: the table is its header alone, as wide as the scroll area shows.
    QCoreApplication::processEvents();
    EXPECT_EQ(w.tableView()->height(), 24);
    auto* scroll = qobject_cast<QScrollArea*>(w.tableView()->parentWidget()->parentWidget());
    ASSERT_NE(scroll, nullptr);
    EXPECT_EQ(w.tableView()->width(), scroll->viewport()->width());
}

TEST_F(HistoryWindowTest, RowsSummaryAndChartFromTheRecorder) {
    QJsonObject apps6{{"Firefox", app(3000, 1000)}, {"ssh", app(0, 0)}, {"curl", app(6000, 0)}};
    QJsonObject appsToday{{"Terminal", app(2048, 1024)}};
    // Three days ago: applications, but no totals. Two days ago: apps above the totals.
    QJsonObject apps3{{"idle", app(10, 0)}};
    QJsonObject apps2{{"big", app(3000, 0)}};
    TrafficHistoryWindow w(recorderWith({{6, dayObject(10000, 5000, apps6)},
                                         {3, dayObject(0, 0, apps3)},
                                         {2, dayObject(1000, 1000, apps2)},
                                         {0, dayObject(1536, 512, appsToday)}}));
    const QStringList keys = w.dayKeys();
    EXPECT_EQ(w.totalDownLabel()->text(), "↓ 1.5 KB");
    EXPECT_EQ(w.totalUpLabel()->text(), "↑ 512 B");

    const auto& chart = w.chartView()->dailyData;
    ASSERT_EQ(chart.size(), 7u);
    EXPECT_EQ(chart[0].date, keys[0]);
    EXPECT_EQ(chart[0].inBytes, 10000u);
    EXPECT_EQ(chart[0].outBytes, 5000u);
    EXPECT_EQ(chart[1].inBytes, 0u); // no record: zero
    EXPECT_EQ(w.dateSegmented()->label(0), TrafficRecorder::displayDate(keys[0]) + "\n14.6 KB");

    // Today's table.
    ASSERT_EQ(w.tableDS().rows.size(), 1u);
    EXPECT_EQ(w.tableDS().rows[0].name, "Terminal");
    EXPECT_DOUBLE_EQ(w.tableDS().rows[0].pct, 3072.0 / 2048.0);
    EXPECT_EQ(w.unattributedText(), ""); // the applications account for more than the day

    w.onDateSelect(0);
    EXPECT_EQ(w.selectedDay(), keys[0]);
    const auto& rows = w.tableDS().rows;
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].name, "curl");
    EXPECT_EQ(rows[1].name, "Firefox");
    EXPECT_EQ(rows[1].total, 4000u);
    EXPECT_DOUBLE_EQ(rows[1].pct, 4000.0 / 15000.0);
    EXPECT_EQ(rows[2].name, "ssh");
    EXPECT_EQ(rows[2].pct, 0.0);
    EXPECT_EQ(w.summaryText(),
              "应用流量明细 · " + keys[0] + "    下载 9.8 KB · 上传 4.9 KB · 合计 14.6 KB");
    EXPECT_EQ(w.tableView()->height(), 24 + 3 * 24);
    // What the applications leave of the day, per direction.
    EXPECT_EQ(w.unattributedText(), "未归属到应用：下载 1000 B · 上传 3.9 KB · 占比 33.3%");
    EXPECT_EQ(w.tableView()->model()->data(w.tableView()->model()->index(1, 4)).toString(),
              "26.7%");

    w.onDateSelect(3); // applications without totals: every share is 0
    ASSERT_EQ(w.tableDS().rows.size(), 1u);
    EXPECT_EQ(w.tableDS().rows[0].pct, 0.0);
    w.onDateSelect(4); // an application above the day's totals keeps its share above 1
    EXPECT_DOUBLE_EQ(w.tableDS().rows[0].pct, 1.5);
    EXPECT_EQ(w.unattributedText(), "未归属到应用：下载 0 B · 上传 1000 B · 占比 50.0%");
    w.onDateSelect(5); // no record at all
    EXPECT_TRUE(w.tableDS().rows.empty());
    EXPECT_TRUE(w.summaryText().endsWith("    下载 0 B · 上传 0 B · 合计 0 B"));
    EXPECT_EQ(w.tableView()->height(), 24);
}

TEST_F(HistoryWindowTest, SelectionRules) {
    TrafficHistoryWindow w(recorderWith({{4, dayObject(1, 2, {{"a", app(1, 2)}})}}));
    const QStringList keys = w.dayKeys();
    ASSERT_EQ(keys.size(), 7);

    // A click on a segment goes through the selector's action.
    w.dateSegmented()->segmentButton(2)->click();
    EXPECT_EQ(w.selectedDay(), keys[2]);
    EXPECT_EQ(w.tableDS().rows.size(), 1u);

    // No selection, or an index past the days: nothing changes.
    for (int bad : {-1, 7, 100}) {
        w.onDateSelect(bad);
        EXPECT_EQ(w.selectedDay(), keys[2]);
        EXPECT_EQ(w.tableDS().rows.size(), 1u);
    }
    w.dateSegmented()->setSelectedSegment(-1);
    EXPECT_EQ(w.dateSegmented()->selectedSegment(), -1);

    // Still among the seven days: the choice survives show().
    w.show();
    EXPECT_EQ(w.selectedDay(), keys[2]);
    EXPECT_EQ(w.dateSegmented()->selectedSegment(), 2);

    // The date moves on by two days: the chosen day is now five days old and stays...
    QStringList later = keys.mid(2);
    later << "2999-01-01"
          << "2999-01-02";
    w.setRecentDaysSource([&] { return later; });
    w.show();
    EXPECT_EQ(w.selectedDay(), keys[2]);
    EXPECT_EQ(w.dateSegmented()->selectedSegment(), 0);
    EXPECT_EQ(w.dateSegmented()->label(6), "1/2\n0 B");

    // ...until it drops out of the seven, and today takes its place.
    later = later.mid(1);
    later << "2999-01-03";
    w.show();
    EXPECT_EQ(w.selectedDay(), "2999-01-03");
    EXPECT_EQ(w.dateSegmented()->selectedSegment(), 6);
    EXPECT_TRUE(w.tableDS().rows.empty());

    // No days at all: nothing selected, nothing to show, and no crash.
    later.clear();
    w.show();
    EXPECT_EQ(w.selectedDay(), "");
    EXPECT_EQ(w.dateSegmented()->segmentCount(), 0);
    EXPECT_TRUE(w.chartView()->dailyData.empty());
    w.onDateSelect(0);
    w.windowDidResize();
}

TEST_F(HistoryWindowTest, RangesAndTheAllowanceHeader) {
    TrafficHistoryWindow w(
        recorderWith({{0, dayObject(1000, 10, {{"a", app(600, 0)}, {"b", app(400, 10)}})},
                      {3, dayObject(3000, 0, {{"b", app(3000, 0)}})}}));
    w.setAllowanceSource([] { return AllowanceSettings{}; });
    w.show();
    EXPECT_EQ(w.range(), HistoryRange::Week);
    EXPECT_EQ(w.dayKeys().size(), 7);
    const QString today = w.dayKeys().last();
    const QString older = w.dayKeys()[3];

    // Thirty days: the same days among more, today chosen, bars per day.
    w.rangeSegmented()->segmentButton(1)->click();
    EXPECT_EQ(w.range(), HistoryRange::Month);
    ASSERT_EQ(w.dayKeys().size(), 30);
    EXPECT_EQ(w.selectedDay(), today);
    EXPECT_EQ(w.chartView()->dailyData[26].inBytes, 3000u);
    EXPECT_EQ(w.tableDS().rows.size(), 2u);

    // Twelve months: the month of the older day holds its applications summed.
    w.rangeSegmented()->segmentButton(2)->click();
    ASSERT_EQ(w.dayKeys().size(), 12);
    EXPECT_EQ(w.selectedDay(), today.left(7));
    w.onDateSelect(static_cast<int>(w.dayKeys().indexOf(older.left(7))));
    ASSERT_FALSE(w.tableDS().rows.empty());
    EXPECT_EQ(w.tableDS().rows[0].name, "b");
    EXPECT_GE(w.tableDS().rows[0].inBytes, 3000u);
    EXPECT_TRUE(w.summaryText().startsWith("应用流量明细 · " + older.left(7) + "    下载 "));

    // Back to the week: exactly as before.
    w.rangeSegmented()->segmentButton(0)->click();
    EXPECT_EQ(w.dayKeys().size(), 7);
    EXPECT_EQ(w.headerCard()->height(), 96);
    EXPECT_TRUE(w.allowanceText().isEmpty());

    // An allowance of 1 GB counting both directions shows this cycle against it.
    AllowanceSettings a;
    a.enabled = true;
    a.gigabytes = 1;
    a.downloadOnly = false;
    a.cycleStartDay = QDate::fromString(today, Qt::ISODate).day();
    w.setAllowanceSource([&] { return a; });
    w.show();
    EXPECT_TRUE(w.allowanceText().contains("1010 B / 1.00 GB（0.0%）"))
        << w.allowanceText().toStdString();
    EXPECT_GT(w.headerCard()->minimumHeight(), 96);
}

// The widths are the pure test's; here, that a resize reaches the segments.
TEST_F(HistoryWindowTest, SegmentsFollowTheWindowWidth) {
    TrafficHistoryWindow w(recorderWith({}));
    w.window()->resize(520, 600);
    QCoreApplication::processEvents();
    EXPECT_DOUBLE_EQ(w.dateSegmented()->segmentWidth(3), historySegmentWidth(520, 7));
}

TEST_F(HistoryWindowTest, TableSizedBeforeLayoutAndSaturatedSums) {
    auto& rec = recorderWith({});
    rec.recordTotal(kMax, kMax);
    // The first sample is the baseline; an application new in the second grows by all of it.
    rec.processAppSample(ProcessSample{{"base", {1, 1}, "1"}});
    rec.processAppSample(ProcessSample{{"base", {1, 1}, "1"}, {"huge", {kMax, kMax}, "2"}});
    TrafficHistoryWindow w(rec);
    EXPECT_TRUE(w.summaryText().endsWith("合计 16777216.00 TB"));
    EXPECT_TRUE(w.dateSegmented()->label(6).endsWith("\n16777216.00 TB"));
    ASSERT_EQ(w.tableDS().rows.size(), 1u);
    EXPECT_EQ(w.tableDS().rows[0].total, kMax);
    EXPECT_DOUBLE_EQ(w.tableDS().rows[0].pct, 1.0);

    // Header plus rows; a table that was never laid out takes 560 points.
    EXPECT_EQ(historyTableSize(0, 24, 24, 3), QSize(560, 96));
    EXPECT_EQ(historyTableSize(-1, 24, 24, 0), QSize(560, 24));
    EXPECT_EQ(historyTableSize(480, 24, 24, 500), QSize(480, 24 + 24 * 500));
    QCoreApplication::processEvents();
    EXPECT_EQ(w.tableView()->height(), 24 + 24 * static_cast<int>(w.tableDS().rows.size()));
}

TEST_F(HistoryWindowTest, CloseHidesShowReturnsAndTeardownCutsCallbacks) {
    auto w = std::make_unique<TrafficHistoryWindow>(recorderWith({}));
    QPointer<QWidget> win = w->window();
    win->close();
    EXPECT_FALSE(win->isVisible());
    ASSERT_FALSE(win.isNull());
    w->show();
    EXPECT_TRUE(win->isVisible());
    EXPECT_EQ(w->window(), win.data());

    // Events already queued for the window must not reach the controller once it is gone.
    QPointer<SegmentedControl> seg = w->dateSegmented();
    win->resize(700, 700);
    QCoreApplication::postEvent(win, new QResizeEvent(QSize(650, 650), QSize(700, 700)));
    w.reset();
    EXPECT_TRUE(win.isNull());
    EXPECT_TRUE(seg.isNull());
    QCoreApplication::processEvents();
}

TEST_F(HistoryWindowTest, RendersLikeTheDesign) {
    TrafficHistoryWindow w(
        recorderWith({{1, dayObject(900000, 300000, {{"Firefox", app(900000, 300000)}})},
                      {0, dayObject(400000, 100000, {{"curl", app(400000, 100000)}})}}));
    QCoreApplication::processEvents();
    const QImage img = w.window()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(img.size() / img.devicePixelRatio(), QSize(600, 660));
    const auto near = [](QColor a, QColor b) {
        return std::abs(a.red() - b.red()) < 8 && std::abs(a.green() - b.green()) < 8 &&
               std::abs(a.blue() - b.blue()) < 8;
    };
    // Window background around the cards.
    EXPECT_TRUE(near(img.pixelColor(4, 4), TrafficTheme::windowBG()));
    EXPECT_TRUE(near(img.pixelColor(595, 300), TrafficTheme::windowBG()));
    // Header card: the gradient runs lighter at the top left to darker at the bottom right,
    // and its rounded corner leaves the window colour showing.
    const QColor tl = img.pixelColor(24, 20);
    const QColor br = img.pixelColor(576, 108);
    EXPECT_GT(tl.lightness(), br.lightness() + 20);
    EXPECT_TRUE(near(img.pixelColor(16, 16), TrafficTheme::windowBG()));
    // Chart card fill under the range selector, and its legend swatch in the download blue.
    const int chartTop = 124 + 28 + 8;
    EXPECT_TRUE(near(img.pixelColor(40, chartTop + 76), TrafficTheme::cardBG()));
    EXPECT_TRUE(near(img.pixelColor(16 + 62, chartTop + 13), TrafficTheme::downBlue()));
    // Some of today's download total is drawn in blue inside the header's left half.
    int blue = 0;
    for (int y = 30; y < 100; ++y) {
        for (int x = 20; x < 300; ++x) {
            blue += near(img.pixelColor(x, y), TrafficTheme::downBlue()) ? 1 : 0;
        }
    }
    EXPECT_GT(blue, 100);
}

} // namespace
