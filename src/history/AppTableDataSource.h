#pragma once

#include "ByteCounts.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QFont>
#include <QIcon>
#include <QString>
#include <array>
#include <vector>

class AppEntries;
class QTableView;

// One application over the selected day or month.
struct AppRowRecord {
    QString name; // as recorded: an application ID or a process name
    ByteCounts bytes;
    double pct = 0; // share of the span's traffic; 0.25 is a quarter, may exceed 1
    QString title;  // the name its desktop entry gives it; empty without one
    QIcon icon;     // the entry's icon, already drawn; null without one
};

// How one cell reads: its text and the look of its label.
struct AppCellPresentation {
    QString text;
    QFont font;
    QColor color;
};

// The columns in display order: name, download, upload, total, share.
enum AppColumn { AppName, AppIn, AppOut, AppTotal, AppShare, AppColumnCount };

AppCellPresentation appCellPresentation(int column, const AppRowRecord& row);

// Column widths for a table of the given width: every column takes an equal share of the
// difference to the columns' natural widths, none below its minimum (what a column cannot
// give up is shared by the others). The result sums to the width unless all are at minimum.
std::array<int, AppColumnCount> appColumnWidths(int tableWidth);

// The applications of the selected span, one row each, for the table of the history window.
class AppTableDataSource : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;

    const std::vector<AppRowRecord>& rows() const { return m_rows; }
    // Rows get their entry's name and icon here, so painting never looks anything up.
    void setRows(std::vector<AppRowRecord> rows);
    // Where names and icons come from; none (the default) shows the recorded names.
    void setAppEntries(AppEntries* entries) { m_entries = entries; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    std::vector<AppRowRecord> m_rows;
    AppEntries* m_entries = nullptr;
};

// A flat table over the model whose columns follow its width; the caller owns it. Its size
// starts at 0 x 0 until whoever hosts it gives it one.
QTableView* makeAppTableView(AppTableDataSource* model);
