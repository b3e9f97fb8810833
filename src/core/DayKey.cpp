#include "DayKey.h"

#include <algorithm>

namespace {

// Digits only, so that neither a sign nor a locale's digits pass; -1 otherwise.
int number(QStringView digits) {
    int n = 0;
    for (const QChar c : digits) {
        if (c < u'0' || c > u'9')
            return -1;
        n = n * 10 + (c.unicode() - u'0');
    }
    return n;
}

} // namespace

namespace DayKey {

QString format(QDate date) {
    return QString::asprintf("%04d-%02d-%02d", date.year(), date.month(), date.day());
}

QString month(QDate date) {
    return QString::asprintf("%04d-%02d", date.year(), date.month());
}

QString today() {
    return format(QDate::currentDate());
}

QDate parse(QStringView key) {
    if (key.size() != 10 || key[4] != u'-' || key[7] != u'-')
        return {};
    const int y = number(key.mid(0, 4)), m = number(key.mid(5, 2)), d = number(key.mid(8, 2));
    return y < 0 || m < 0 || d < 0 ? QDate() : QDate(y, m, d);
}

QString label(const QString& key) {
    const QDate date = parse(key);
    return date.isValid() ? QString::asprintf("%d/%d", date.month(), date.day()) : key;
}

QStringList lastDays(QDate today, int count) {
    QStringList keys;
    for (int i = count - 1; i >= 0; --i) {
        if (const QDate day = today.addDays(-i); day.isValid())
            keys << format(day);
    }
    return keys;
}

QStringList lastMonths(QDate today, int count) {
    QStringList keys;
    const QDate first(today.year(), today.month(), 1);
    for (int i = count - 1; i >= 0; --i)
        keys << month(first.addMonths(-i));
    return keys;
}

DaySpan span(QStringView key, QDate today) {
    if (key.size() == 10) {
        const QDate day = parse(key);
        return {day, day};
    }
    if (key.size() != 7)
        return {};
    const QDate first = parse(key.toString() + QStringLiteral("-01"));
    if (!first.isValid())
        return {};
    return {first, std::min(first.addMonths(1).addDays(-1), std::max(today, first))};
}

} // namespace DayKey
