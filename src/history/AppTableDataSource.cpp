#include "AppTableDataSource.h"

#include "AppEntries.h"
#include "Formatters.h"
#include "TrafficTheme.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QTableView>
#include <algorithm>
#include <cmath>

namespace {

constexpr int kRowHeight = 24;

struct Column {
    const char* title; // translated as it is shown
    int width;
    int minWidth;
};

constexpr std::array<Column, AppColumnCount> kColumns = {{
    {QT_TRANSLATE_NOOP("AppTableDataSource", "应用"), 160, 120},
    {QT_TRANSLATE_NOOP("AppTableDataSource", "下载"), 110, 84},
    {QT_TRANSLATE_NOOP("AppTableDataSource", "上传"), 110, 84},
    {QT_TRANSLATE_NOOP("AppTableDataSource", "合计"), 110, 84},
    {QT_TRANSLATE_NOOP("AppTableDataSource", "占比"), 64, 56},
}};

// Keeps its columns fitted to its width; a hand-dragged width would not survive a resize.
class AppTableView : public QTableView {
public:
    using QTableView::QTableView;

protected:
    void resizeEvent(QResizeEvent* event) override {
        QTableView::resizeEvent(event);
        const auto widths = appColumnWidths(width());
        for (int i = 0; i < AppColumnCount; ++i) {
            horizontalHeader()->resizeSection(i, widths[static_cast<std::size_t>(i)]);
        }
    }
};

} // namespace

AppCellPresentation appCellPresentation(int column, const AppRowRecord& row) {
    AppCellPresentation c{{}, historyFont(12, QFont::Normal, true), TrafficTheme::textSecondary()};
    switch (column) {
    case AppName:
        c = {row.title.isEmpty() ? row.name : row.title, historyFont(12, QFont::Medium),
             TrafficTheme::textPrimary()};
        break;
    case AppIn:
        c.color = TrafficTheme::downBlue();
        c.text = fmtBytesTraffic(row.bytes.in);
        break;
    case AppOut:
        c.color = TrafficTheme::upGreen();
        c.text = fmtBytesTraffic(row.bytes.out);
        break;
    case AppTotal:
        c = {fmtBytesTraffic(row.bytes.total()), historyFont(12, QFont::Medium, true),
             TrafficTheme::textPrimary()};
        break;
    case AppShare:
        c.text = fmtFixed(row.pct * 100, 1) + QLatin1Char('%');
        break;
    default:
        break;
    }
    return c;
}

std::array<int, AppColumnCount> appColumnWidths(int tableWidth) {
    constexpr std::size_t n = AppColumnCount;
    std::array<double, n> w{};
    std::array<bool, n> pinned{};
    double natural = 0;
    for (std::size_t i = 0; i < n; ++i) {
        w[i] = kColumns[i].width;
        natural += kColumns[i].width;
    }
    // Share the difference equally; a column that would pass its minimum stops there and
    // the rest of its share goes to the columns still free.
    double left = tableWidth - natural;
    for (std::size_t round = 0; round < n && left != 0; ++round) {
        const auto free = static_cast<double>(std::count(pinned.begin(), pinned.end(), false));
        if (free == 0) {
            break;
        }
        const double share = left / free;
        left = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (pinned[i]) {
                continue;
            }
            const double want = w[i] + share;
            pinned[i] = want < kColumns[i].minWidth;
            left += pinned[i] ? want - kColumns[i].minWidth : 0;
            w[i] = std::max<double>(want, kColumns[i].minWidth);
        }
    }
    // Whole pixels: round the running edge so the columns add up to the table's width.
    std::array<int, n> out{};
    double edge = 0;
    int prev = 0;
    for (std::size_t i = 0; i < n; ++i) {
        edge += w[i];
        out[i] = std::max(kColumns[i].minWidth, static_cast<int>(std::lround(edge)) - prev);
        prev += out[i];
    }
    return out;
}

void AppTableDataSource::setRows(std::vector<AppRowRecord> rows) {
    if (m_entries) {
        for (AppRowRecord& row : rows) {
            const auto entry = m_entries->entry(row.name);
            row.title = entry ? entry->name : QString();
            row.icon = entry ? m_entries->icon(row.name) : QIcon();
        }
    }
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

int AppTableDataSource::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int AppTableDataSource::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : AppColumnCount;
}

QVariant AppTableDataSource::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= AppColumnCount) {
        return {};
    }
    const auto& row = m_rows[static_cast<std::size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return appCellPresentation(index.column(), row).text;
    case Qt::FontRole:
        return appCellPresentation(index.column(), row).font;
    case Qt::ForegroundRole:
        return appCellPresentation(index.column(), row).color;
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(Qt::Alignment(Qt::AlignCenter));
    case Qt::DecorationRole:
        return index.column() == AppName && !row.icon.isNull() ? QVariant(row.icon) : QVariant();
    case Qt::ToolTipRole:
        // A name cut short by the column is still readable in full, with the ID it stands for.
        if (index.column() != AppName) {
            return {};
        }
        return row.title.isEmpty() ? row.name : QStringLiteral("%1 (%2)").arg(row.title, row.name);
    default:
        return {};
    }
}

QVariant AppTableDataSource::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= AppColumnCount) {
        return {};
    }
    if (role == Qt::DisplayRole) {
        return QCoreApplication::translate("AppTableDataSource",
                                           kColumns[static_cast<std::size_t>(section)].title);
    }
    if (role == Qt::TextAlignmentRole) {
        return QVariant::fromValue(Qt::Alignment(Qt::AlignCenter));
    }
    return {};
}

Qt::ItemFlags AppTableDataSource::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

QTableView* makeAppTableView(AppTableDataSource* model) {
    auto* table = new AppTableView;
    table->setModel(model);

    auto* header = table->horizontalHeader();
    header->setDefaultAlignment(Qt::AlignCenter);
    header->setFixedHeight(kRowHeight);
    header->setSectionsClickable(false);
    header->setSectionsMovable(false);
    header->setHighlightSections(false);
    header->setSortIndicatorShown(false);
    header->setStretchLastSection(false);
    header->setSectionResizeMode(QHeaderView::Fixed);
    header->setFont(historyFont(11, QFont::Medium));
    for (int i = 0; i < AppColumnCount; ++i) {
        header->resizeSection(i, kColumns[static_cast<std::size_t>(i)].width);
    }
    header->setMinimumSectionSize(kColumns[AppShare].minWidth);

    table->verticalHeader()->hide();
    table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table->verticalHeader()->setMinimumSectionSize(1);
    table->verticalHeader()->setDefaultSectionSize(kRowHeight);

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
    table->resize(0, 0);
    return table;
}
