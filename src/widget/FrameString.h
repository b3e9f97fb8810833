#pragma once

#include <QRectF>
#include <QString>
#include <QStringView>
#include <optional>

// The stored panel frame as text: "{{x, y}, {w, h}}", origin then size, in screen
// coordinates (origin bottom-left of the primary screen, y up).

// Writes each number in its shortest form that reads back to the same double, so a
// frame survives any number of save/restore cycles unchanged: "{{1208, 796}, {216, 92}}".
QString frameToString(const QRectF& rect);

// Reads the four numbers in order, tolerating any braces, commas and spaces around them;
// missing numbers count as 0 and numbers after the fourth are ignored. Text that holds a
// word (such as "nan" or "inf"), a number beyond the range of a double, or no number at all
// is not a rectangle and gives the zero rectangle.
QRectF frameFromString(QStringView text);

// The same reading, but text that is not a rectangle gives none instead of the zero
// rectangle, so a caller can tell "{{0, 0}, {0, 0}}" from garbage.
std::optional<QRectF> frameReadString(QStringView text);
