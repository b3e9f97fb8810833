#include "AppTableDataSource.h"

#include <QHeaderView>
#include <QTableView>
#include <gtest/gtest.h>
#include <memory>
#include <numeric>

namespace {

struct ExposedDataSource : AppTableDataSource {
    using AppTableDataSource::createIndex;
};

TEST(AppCellPresentation, SharesRoundAndAreNotClamped) {
    const auto text = [](const char* id, double pct, std::uint64_t in = 0, std::uint64_t out = 0) {
        return appCellPresentation(id, {QStringLiteral("Firefox"), {in, out}, pct}).text;
    };
    EXPECT_EQ(text("pct", 0.0005), "0.1%");
    EXPECT_EQ(text("pct", 0.9995), "100.0%");
    EXPECT_EQ(text("pct", 1.5), "150.0%"); // not clamped
    EXPECT_EQ(text("total", 0, 1024, 512), "1.5 KB");
}

TEST(AppColumnWidths, ShareChangesEquallyDownToTheMinimums) {
    EXPECT_EQ(appColumnWidths(554), (std::array<int, 5>{160, 110, 110, 110, 64}));
    EXPECT_EQ(appColumnWidths(0), (std::array<int, 5>{120, 84, 84, 84, 56}));
    for (int w : {429, 470, 555, 557, 568, 1001}) {
        const auto widths = appColumnWidths(w);
        EXPECT_EQ(std::accumulate(widths.begin(), widths.end(), 0), w) << w;
    }
}

TEST(AppTableDataSource, ModelAndTable) {
    ExposedDataSource ds;
    std::unique_ptr<QTableView> table(ds.makeTableView());
    const QStringList titles{"应用", "下载", "上传", "合计", "占比"};
    ASSERT_EQ(ds.columnCount(), titles.size());
    for (int c = 0; c < titles.size(); ++c) {
        EXPECT_EQ(ds.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString(), titles[c]);
    }

    ds.rows = {{QStringLiteral("a"), {1536, 0}, 0.25}, {QStringLiteral("b"), {}, 0}};
    ds.reloadData();
    EXPECT_EQ(table->model()->rowCount(), 2);
    EXPECT_EQ(ds.data(ds.index(0, 1), Qt::DisplayRole).toString(), "1.5 KB");
    // Rows past the end, or outside the five columns, have no cell.
    EXPECT_FALSE(ds.data(ds.createIndex(2, 0), Qt::DisplayRole).isValid());
    EXPECT_FALSE(ds.data(ds.createIndex(0, 5), Qt::DisplayRole).isValid());

    // The columns follow the table's width.
    table->show();
    table->resize(604, 72);
    EXPECT_EQ(table->horizontalHeader()->sectionSize(0), 170);
    table->resize(300, 72);
    EXPECT_EQ(table->horizontalHeader()->sectionSize(4), 56);
}

} // namespace
