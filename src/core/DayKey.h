#pragma once

#include <QDate>
#include <QString>
#include <QStringList>
#include <QStringView>

// The days of the traffic history: local calendar dates written "yyyy-MM-dd", and calendar
// months "yyyy-MM", with ASCII digits whatever the user's locale.

// The days one key covers, both included.
struct DaySpan {
    QDate first;
    QDate last;
};

namespace DayKey {

QString format(QDate date);
QString month(QDate date);
// The local date of now.
QString today();
// The date a strict "yyyy-MM-dd" key names, or an invalid date.
QDate parse(QStringView key);
// The label the views show: "M/d"; anything that is not a day key comes back unchanged.
QString label(const QString& key);

// The last `count` days, or calendar months, ending with `today`, oldest first. Calendar
// arithmetic, not seconds: a day with a daylight-saving change still counts as one.
QStringList lastDays(QDate today, int count);
QStringList lastMonths(QDate today, int count);
// A day key's day, or a month key's days up to `today` at the latest; invalid dates for a
// key that is neither.
DaySpan span(QStringView key, QDate today);

} // namespace DayKey
