#include "AppTableDataSource.h"
#include "DayKey.h"
#include "SegmentedControl.h"
#include "TrafficChartView.h"
#include "TrafficHistoryWindow.h"
#include "TrafficRecorder.h"
#include "TrafficTheme.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QResizeEvent>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <limits>
#include <memory>

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

QJsonObject day(qint64 in, qint64 out, const QJsonObject& apps = {}) {
    return QJsonObject{{"totalIn", in}, {"totalOut", out}, {"apps", apps}};
}

QJsonObject app(qint64 in, qint64 out) {
    return QJsonObject{{"in", in}, {"out", out}};
}

// A recorder over a store in a temporary directory; the user's files are never read.
class HistoryWindowTest : public ::testing::Test {
protected:
    // Writes the days (keyed by age in days: 0 is today) as an old-style traffic file, which
    // the recorder moves into its store when it opens.
    TrafficRecorder& recorderWith(const std::map<int, QJsonObject>& days) {
        const QStringList keys = DayKey::lastDays(QDate::currentDate(), 7);
        QJsonObject top;
        for (const auto& [age, obj] : days) {
            top.insert(keys[6 - age], obj);
        }
        QFile f(dir.filePath("traffic.json"));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QJsonDocument(top).toJson());
        f.close();
        TrafficRecorder::Config c;
        c.dataPath = dir.filePath("traffic.db");
        c.toolPath = dir.filePath("no-such-tool");
        recorder = std::make_unique<TrafficRecorder>(c);
        return *recorder;
    }

    QTemporaryDir dir;
    std::unique_ptr<TrafficRecorder> recorder;
};

TEST_F(HistoryWindowTest, TextsRowsAndChartFromTheRecorder) {
    // Three days ago: applications, but no totals. Two days ago: apps above the totals.
    TrafficHistoryWindow w(recorderWith(
        {{6, day(10000, 5000,
                 {{"Firefox", app(3000, 1000)}, {"ssh", app(0, 0)}, {"curl", app(6000, 0)}})},
         {3, day(0, 0, {{"idle", app(10, 0)}})},
         {2, day(1000, 1000, {{"big", app(3000, 0)}})},
         {0, day(1536, 512, {{"Terminal", app(2048, 1024)}})}}));
    const QStringList keys = w.dayKeys();
    EXPECT_EQ(w.dateSegmented()->label(0), DayKey::label(keys[0]) + "\n14.6 KB");

    // Applications that moved more than the day's totals leave nothing unattributed.
    EXPECT_EQ(w.unattributedText(), "");
    w.onDateSelect(0);
    const auto& rows = w.tableDS().rows;
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_DOUBLE_EQ(rows[1].pct, 4000.0 / 15000.0);
    EXPECT_EQ(w.summaryText(),
              "应用流量明细 · " + keys[0] + "    下载 9.8 KB · 上传 4.9 KB · 合计 14.6 KB");
    // What the applications leave of the day, per direction.
    EXPECT_EQ(w.unattributedText(), "未归属到应用：下载 1000 B · 上传 3.9 KB · 占比 33.3%");

    w.onDateSelect(3); // applications without totals: every share is 0
    EXPECT_EQ(w.tableDS().rows.at(0).pct, 0.0);
    w.onDateSelect(4); // an application above the day's totals leaves nothing below zero
    EXPECT_EQ(w.unattributedText(), "未归属到应用：下载 0 B · 上传 1000 B · 占比 50.0%");
    w.onDateSelect(5); // no record at all: nothing of the day before stays
    EXPECT_TRUE(w.tableDS().rows.empty());
}

TEST_F(HistoryWindowTest, SelectionFollowsClicksAndTheDate) {
    TrafficHistoryWindow w(recorderWith({{4, day(1, 2, {{"a", app(1, 2)}})}}));
    const QStringList keys = w.dayKeys();
    ASSERT_EQ(keys.size(), 7);

    // A click goes through the selector's action; an index outside the days changes nothing.
    w.dateSegmented()->segmentButton(2)->click();
    EXPECT_EQ(w.tableDS().rows.size(), 1u);
    w.onDateSelect(7);
    EXPECT_EQ(w.selectedDay(), keys[2]);

    // The date moves on by two days: the chosen day is now five days old and stays...
    QStringList later = keys.mid(2) << "2999-01-01"
                                    << "2999-01-02";
    w.setRecentDaysSource([&] { return later; });
    w.show();
    EXPECT_EQ(w.dateSegmented()->selectedSegment(), 0);

    // ...until it drops out of the seven, and today takes its place.
    later = later.mid(1) << "2999-01-03";
    w.show();
    EXPECT_EQ(w.selectedDay(), "2999-01-03");

    // No days at all: nothing selected, and no crash.
    later.clear();
    w.show();
    EXPECT_EQ(w.selectedDay(), "");
    w.onDateSelect(0);
    w.windowDidResize();
}

TEST_F(HistoryWindowTest, RangesAndTheAllowanceHeader) {
    TrafficHistoryWindow w(recorderWith(
        {{0, day(1000, 10, {{"a", app(600, 0)}})}, {3, day(3000, 0, {{"b", app(3000, 0)}})}}));
    w.setAllowanceSource([] { return AllowanceSettings{}; });
    w.show();
    const QString today = w.dayKeys().last();
    const QString older = w.dayKeys()[3];

    w.rangeSegmented()->segmentButton(1)->click();
    ASSERT_EQ(w.dayKeys().size(), 30);
    EXPECT_EQ(w.chartView()->dailyData[26].bytes.in, 3000u);

    // Twelve months: the older day's month holds its applications.
    w.rangeSegmented()->segmentButton(2)->click();
    EXPECT_EQ(w.selectedDay(), today.left(7));
    w.onDateSelect(static_cast<int>(w.dayKeys().indexOf(older.left(7))));
    EXPECT_EQ(w.tableDS().rows.at(0).name, "b");

    w.rangeSegmented()->segmentButton(0)->click();
    EXPECT_TRUE(w.allowanceText().isEmpty());

    // An allowance of 1 GB counting both directions shows this cycle against it.
    const AllowanceSettings a{true, 1, QDate::fromString(today, Qt::ISODate).day(), false};
    w.setAllowanceSource([&] { return a; });
    w.show();
    EXPECT_TRUE(w.allowanceText().contains("1010 B / 1.00 GB（0.0%）"))
        << w.allowanceText().toStdString();
}

TEST_F(HistoryWindowTest, SaturatedSumsLeaveTheWindowFreeToShrink) {
    auto& rec = recorderWith({});
    rec.recordTotal({kMax, kMax});
    TrafficHistoryWindow w(rec);
    EXPECT_TRUE(w.summaryText().endsWith("合计 16777216.00 TB"));

    // A saturated total in the header leaves the window free to shrink to its minimum.
    w.window()->resize(520, 600);
    QCoreApplication::processEvents();
    EXPECT_DOUBLE_EQ(w.dateSegmented()->segmentWidth(3), 480.0 / 7);
}

TEST_F(HistoryWindowTest, CloseHidesAndTeardownCutsCallbacks) {
    auto w = std::make_unique<TrafficHistoryWindow>(recorderWith({}));
    QPointer<QWidget> win = w->window();
    win->close();
    ASSERT_FALSE(win.isNull());
    EXPECT_FALSE(win->isVisible());

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
    TrafficHistoryWindow w(recorderWith({{0, day(400000, 100000)}}));
    QCoreApplication::processEvents();
    const QImage img = w.window()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(img.size() / img.devicePixelRatio(), QSize(600, 660));
    const auto near = [](QColor a, QColor b) {
        return std::abs(a.red() - b.red()) < 8 && std::abs(a.green() - b.green()) < 8 &&
               std::abs(a.blue() - b.blue()) < 8;
    };
    // Header card: the gradient runs lighter at the top left to darker at the bottom right,
    // and its rounded corner leaves the window colour showing.
    EXPECT_GT(img.pixelColor(24, 20).lightness(), img.pixelColor(576, 108).lightness() + 20);
    EXPECT_TRUE(near(img.pixelColor(16, 16), TrafficTheme::windowBG()));
    // The chart card under the range selector.
    EXPECT_TRUE(near(img.pixelColor(40, 236), TrafficTheme::cardBG()));
}

} // namespace
