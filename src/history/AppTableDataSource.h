#pragma once

#include "ByteCounts.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QFont>
#include <QObject>
#include <QString>
#include <array>
#include <cstdint>
#include <vector>

class QTableView;

// One application on the selected day.
struct AppRowRecord {
    QString name;
    ByteCounts bytes;
    double pct = 0; // share of the day's traffic; 0.25 is a quarter, may exceed 1
};

// How one cell reads: its text and the look of its label.
struct AppCellPresentation {
    QString text;
    QFont font;
    QColor color;
    Qt::Alignment alignment = Qt::AlignCenter;
    Qt::TextElideMode elide = Qt::ElideRight;
};

struct AppTableColumn {
    const char* identifier;
    QString title;
    int width;
    int minWidth;
};

// The five columns in display order: name, in, out, total, pct.
const std::array<AppTableColumn, 5>& appTableColumns();

// The label of the cell in the column with this identifier; an unknown identifier gives an
// empty text in the default look.
AppCellPresentation appCellPresentation(const QString& columnId, const AppRowRecord& row);

// Column widths for a table of the given width: every column takes an equal share of the
// difference to the columns' natural widths, none below its minimum (what a column cannot
// give up is shared by the others). The result sums to the width unless all are at minimum.
std::array<int, 5> appColumnWidths(int tableWidth);

// Serves the rows to the table it builds and lays out that table's columns.
class AppTableDataSource : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int rowHeight = 24;
    static constexpr int headerHeight = 24;

    explicit AppTableDataSource(QObject* parent = nullptr);

    std::vector<AppRowRecord> rows;
    // Tells the views that rows changed.
    void reloadData();

    // A new table over this model; the caller owns it. Its size starts at 0 x 0 until
    // whoever hosts it gives it one.
    QTableView* makeTableView();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
};
