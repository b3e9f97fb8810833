#include "AppTableDataSource.h"

#include "Formatters.h"
#include "TrafficTheme.h"

#include <QCoreApplication>
#include <QEvent>
#include <QHeaderView>
#include <QTableView>
#include <algorithm>
#include <cmath>

const std::array<AppTableColumn, 5>& appTableColumns() {
    static const std::array<AppTableColumn, 5> cols = {{
        {"name", QString::fromUtf8(QT_TRANSLATE_NOOP("AppTableDataSource", "应用")), 160, 120},
        {"in", QString::fromUtf8(QT_TRANSLATE_NOOP("AppTableDataSource", "下载")), 110, 84},
        {"out", QString::fromUtf8(QT_TRANSLATE_NOOP("AppTableDataSource", "上传")), 110, 84},
        {"total", QString::fromUtf8(QT_TRANSLATE_NOOP("AppTableDataSource", "合计")), 110, 84},
        {"pct", QString::fromUtf8(QT_TRANSLATE_NOOP("AppTableDataSource", "占比")), 64, 56},
    }};
    return cols;
}

AppCellPresentation appCellPresentation(const QString& columnId, const AppRowRecord& row) {
    AppCellPresentation c;
    c.font = historyFont(12, QFont::Normal, true);
    c.color = TrafficTheme::textSecondary();
    if (columnId == QLatin1String("name")) {
        c.font = historyFont(12, QFont::Medium);
        c.color = TrafficTheme::textPrimary();
        c.text = row.name;
    } else if (columnId == QLatin1String("in")) {
        c.color = TrafficTheme::downBlue();
        c.text = fmtBytesTraffic(row.bytes.in);
    } else if (columnId == QLatin1String("out")) {
        c.color = TrafficTheme::upGreen();
        c.text = fmtBytesTraffic(row.bytes.out);
    } else if (columnId == QLatin1String("total")) {
        c.font = historyFont(12, QFont::Medium, true);
        c.color = TrafficTheme::textPrimary();
        c.text = fmtBytesTraffic(row.bytes.total());
    } else if (columnId == QLatin1String("pct")) {
        c.text = fmtFixed(row.pct * 100, 1) + QLatin1Char('%');
    }
    return c;
}

std::array<int, 5> appColumnWidths(int tableWidth) {
    const auto& cols = appTableColumns();
    std::array<double, 5> w{};
    std::array<bool, 5> pinned{};
    double natural = 0;
    for (std::size_t i = 0; i < 5; ++i) {
        w[i] = cols[i].width;
        natural += cols[i].width;
    }
    // Share the difference equally; a column that would pass its minimum stops there and
    // the rest of its share goes to the columns still free.
    double left = tableWidth - natural;
    for (int round = 0; round < 5 && left != 0; ++round) {
        int free = 0;
        for (std::size_t i = 0; i < 5; ++i) {
            free += pinned[i] ? 0 : 1;
        }
        if (free == 0) {
            break;
        }
        const double share = left / free;
        left = 0;
        for (std::size_t i = 0; i < 5; ++i) {
            if (pinned[i]) {
                continue;
            }
            const double want = w[i] + share;
            if (want < cols[i].minWidth) {
                left += want - cols[i].minWidth;
                w[i] = cols[i].minWidth;
                pinned[i] = true;
            } else {
                w[i] = want;
            }
        }
    }
    // Whole pixels: round the running edge so the columns add up to the table's width.
    std::array<int, 5> out{};
    double edge = 0;
    int prev = 0;
    for (std::size_t i = 0; i < 5; ++i) {
        edge += w[i];
        const int e = static_cast<int>(std::lround(edge));
        out[i] = std::max(cols[i].minWidth, e - prev);
        prev += out[i];
    }
    return out;
}

namespace {

// Keeps the columns of a table fitted to its width whenever the table is resized.
class ColumnFitter : public QObject {
public:
    explicit ColumnFitter(QTableView* table) : QObject(table), m_table(table) {
        table->installEventFilter(this);
    }

    void fit() {
        const auto widths = appColumnWidths(m_table->width());
        for (int i = 0; i < 5; ++i) {
            m_table->horizontalHeader()->resizeSection(i, widths[static_cast<std::size_t>(i)]);
        }
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == m_table && event->type() == QEvent::Resize) {
            fit();
        }
        return false;
    }

private:
    QTableView* m_table;
};

} // namespace

AppTableDataSource::AppTableDataSource(QObject* parent) : QAbstractTableModel(parent) {}

void AppTableDataSource::reloadData() {
    beginResetModel();
    endResetModel();
}

QTableView* AppTableDataSource::makeTableView() {
    auto* table = new QTableView;
    table->setModel(this);

    auto* header = table->horizontalHeader();
    header->setDefaultAlignment(Qt::AlignCenter);
    header->setFixedHeight(headerHeight);
    header->setSectionsClickable(false);
    header->setSectionsMovable(false);
    header->setHighlightSections(false);
    header->setSortIndicatorShown(false);
    header->setStretchLastSection(false);
    // The columns follow the table's width; a hand-dragged width would not survive a resize.
    header->setSectionResizeMode(QHeaderView::Fixed);
    header->setFont(historyFont(11, QFont::Medium));
    const auto& cols = appTableColumns();
    for (int i = 0; i < 5; ++i) {
        header->resizeSection(i, cols[static_cast<std::size_t>(i)].width);
    }
    header->setMinimumSectionSize(cols[4].minWidth);

    table->verticalHeader()->hide();
    table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table->verticalHeader()->setMinimumSectionSize(1);
    table->verticalHeader()->setDefaultSectionSize(rowHeight);

    table->setSortingEnabled(false);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setShowGrid(false);
    table->setWordWrap(false);
    table->setTextElideMode(Qt::ElideRight);
    table->setAlternatingRowColors(true);
    table->setFrameShape(QFrame::NoFrame);
    table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    table->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    table->setFocusPolicy(Qt::NoFocus);

    // Transparent: the window shows through every row but the alternate ones.
    QPalette pal = table->palette();
    pal.setColor(QPalette::Base, Qt::transparent);
    pal.setColor(QPalette::AlternateBase, QColor::fromRgbF(1, 1, 1, 0.035f));
    table->setPalette(pal);
    table->setAutoFillBackground(false);
    table->viewport()->setAutoFillBackground(false);

    new ColumnFitter(table);
    table->resize(0, 0);
    return table;
}

int AppTableDataSource::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows.size());
}

int AppTableDataSource::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(appTableColumns().size());
}

QVariant AppTableDataSource::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 ||
        static_cast<std::size_t>(index.row()) >= rows.size() || index.column() < 0 ||
        index.column() >= columnCount()) {
        return {};
    }
    switch (role) {
    case Qt::DisplayRole:
    case Qt::FontRole:
    case Qt::ForegroundRole:
    case Qt::TextAlignmentRole:
    case Qt::ToolTipRole:
        break;
    default:
        return {};
    }
    const auto& col = appTableColumns()[static_cast<std::size_t>(index.column())];
    const auto& row = rows[static_cast<std::size_t>(index.row())];
    if (role == Qt::ToolTipRole) {
        // A name cut short by the column is still readable in full.
        return index.column() == 0 ? QVariant(row.name) : QVariant();
    }
    const auto cell = appCellPresentation(QLatin1String(col.identifier), row);
    switch (role) {
    case Qt::DisplayRole:
        return cell.text;
    case Qt::FontRole:
        return cell.font;
    case Qt::ForegroundRole:
        return cell.color;
    default:
        return QVariant::fromValue(cell.alignment);
    }
}

QVariant AppTableDataSource::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) {
        return {};
    }
    if (role == Qt::DisplayRole) {
        // Titles are kept in the program's own language and translated as they are shown.
        return QCoreApplication::translate(
            "AppTableDataSource",
            appTableColumns()[static_cast<std::size_t>(section)].title.toUtf8().constData());
    }
    if (role == Qt::TextAlignmentRole) {
        return QVariant::fromValue(Qt::Alignment(Qt::AlignCenter));
    }
    return {};
}

Qt::ItemFlags AppTableDataSource::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}
