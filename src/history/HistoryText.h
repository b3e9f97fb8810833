#pragma once

#include "AppTableDataSource.h"
#include "TrafficTypes.h"

#include <QSize>
#include <QString>
#include <cstdint>
#include <vector>

// What the history window writes and how it sizes its parts, as plain values.

// Width of each of n day segments for a window of the given width: the window less 40
// shared equally, at least 60. Zero when there are no segments.
double historySegmentWidth(double windowWidth, int n);

// The size the application table takes: its header and rows tall, its current width wide,
// or 560 when it has had no width yet.
QSize historyTableSize(int currentWidth, int headerHeight, int rowHeight, int rows);

// The summary line of a day or month: its key and its download, upload and total.
QString historySummaryText(const QString& key, ByteCounts bytes);

// The table's rows: each application with its share of the span's total (0 when the span
// recorded no total, above 1 when the application counted more than the span).
std::vector<AppRowRecord> historyAppRows(const std::vector<AppEntry>& apps, std::uint64_t total);

// The line under the table that explains shares not adding up to 100 %: the span's bytes no
// application accounts for, per direction. Empty when there are no application rows or the
// applications account for everything.
QString historyUnattributedText(ByteCounts span, const std::vector<AppRowRecord>& rows);
