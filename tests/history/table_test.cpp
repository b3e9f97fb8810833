#include "AppTableDataSource.h"
#include "TrafficTheme.h"

#include <QHeaderView>
#include <QTableView>
#include <gtest/gtest.h>
#include <memory>
#include <numeric>

namespace {

AppRowRecord row(double pct, std::uint64_t in = 0, std::uint64_t out = 0) {
    return {QStringLiteral("Firefox"), in, out, in + out, pct};
}

struct ExposedDataSource : AppTableDataSource {
    using AppTableDataSource::createIndex;
};

QString pctText(double pct) {
    return appCellPresentation("pct", row(pct)).text;
}

TEST(AppCellPresentation, TextsAndUnknownColumns) {
    EXPECT_EQ(pctText(0), "0.0%");
    EXPECT_EQ(pctText(0.4567), "45.7%");
    EXPECT_EQ(pctText(0.0005), "0.1%");
    EXPECT_EQ(pctText(0.9995), "100.0%");
    EXPECT_EQ(pctText(1.5), "150.0%"); // not clamped

    EXPECT_EQ(appCellPresentation("in", row(0, 1536)).text, "1.5 KB");
    EXPECT_EQ(appCellPresentation("total", row(0, 1024, 512)).text, "1.5 KB");
    // Identifiers compare exactly; anything else is an empty default cell.
    for (const char* id : {"", "Name", "share", "pct "}) {
        const auto c = appCellPresentation(id, row(0.5, 10, 10));
        EXPECT_TRUE(c.text.isEmpty()) << id;
    }
}

TEST(AppColumnWidths, ShareChangesEquallyDownToTheMinimums) {
    const auto sum = [](const std::array<int, 5>& w) {
        return std::accumulate(w.begin(), w.end(), 0);
    };
    EXPECT_EQ(appColumnWidths(554), (std::array<int, 5>{160, 110, 110, 110, 64}));
    EXPECT_EQ(appColumnWidths(604), (std::array<int, 5>{170, 120, 120, 120, 74}));
    // Shrinking by 100: the last column stops at 56, the others give up its share.
    EXPECT_EQ(appColumnWidths(454), (std::array<int, 5>{137, 87, 87, 87, 56}));
    EXPECT_EQ(appColumnWidths(428), (std::array<int, 5>{120, 84, 84, 84, 56}));
    EXPECT_EQ(appColumnWidths(0), (std::array<int, 5>{120, 84, 84, 84, 56}));
    for (int w : {429, 470, 555, 557, 568, 1001}) {
        EXPECT_EQ(sum(appColumnWidths(w)), w) << w;
    }
}

TEST(AppTableDataSource, ModelAndTable) {
    ExposedDataSource ds;
    std::unique_ptr<QTableView> table(ds.makeTableView());
    EXPECT_EQ(table->model(), &ds);
    EXPECT_EQ(ds.rowCount(), 0);
    EXPECT_EQ(ds.columnCount(), 5);
    EXPECT_EQ(table->size(), QSize(0, 0));
    EXPECT_EQ(table->verticalHeader()->defaultSectionSize(), 24);
    EXPECT_TRUE(table->alternatingRowColors());
    EXPECT_FALSE(table->isSortingEnabled());
    EXPECT_EQ(table->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(table->palette().color(QPalette::Base).alpha(), 0);
    EXPECT_EQ(table->textElideMode(), Qt::ElideRight);

    const QStringList titles{"应用", "下载", "上传", "合计", "占比"};
    for (int c = 0; c < 5; ++c) {
        EXPECT_EQ(ds.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString(), titles[c]);
        EXPECT_EQ(ds.headerData(c, Qt::Horizontal, Qt::TextAlignmentRole).value<Qt::Alignment>(),
                  Qt::AlignCenter);
    }
    EXPECT_FALSE(ds.headerData(5, Qt::Horizontal, Qt::DisplayRole).isValid());

    ds.rows = {{QStringLiteral("a"), 1536, 0, 1536, 0.25}, {QStringLiteral("b"), 0, 0, 0, 0}};
    ds.reloadData();
    EXPECT_EQ(table->model()->rowCount(), 2);
    EXPECT_EQ(ds.data(ds.index(0, 1), Qt::DisplayRole).toString(), "1.5 KB");
    EXPECT_EQ(ds.data(ds.index(0, 1), Qt::ForegroundRole).value<QColor>(),
              TrafficTheme::downBlue());
    EXPECT_EQ(ds.data(ds.index(0, 4), Qt::DisplayRole).toString(), "25.0%");
    EXPECT_FALSE(ds.flags(ds.index(0, 0)) & Qt::ItemIsEditable);
    // Rows past the end, or outside the five columns, have no cell.
    EXPECT_FALSE(ds.data(ds.index(2, 0), Qt::DisplayRole).isValid());
    EXPECT_FALSE(ds.data(ds.createIndex(2, 0), Qt::DisplayRole).isValid());
    EXPECT_FALSE(ds.data(ds.createIndex(0, 5), Qt::DisplayRole).isValid());

    // The columns follow the table's width.
    table->show();
    table->resize(604, 72);
    EXPECT_EQ(table->horizontalHeader()->sectionSize(0), 170);
    EXPECT_EQ(table->horizontalHeader()->sectionSize(4), 74);
    table->resize(300, 72);
    EXPECT_EQ(table->horizontalHeader()->sectionSize(4), 56);
}

} // namespace
