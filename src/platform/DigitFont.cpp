#include "DigitFont.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QHash>
#include <QStringList>

bool fontHasTabularDigits(const QFont& font) {
    const QFontMetricsF fm(font);
    const qreal zero = fm.horizontalAdvance(QLatin1Char('0'));
    for (char c = '1'; c <= '9'; ++c) {
        if (fm.horizontalAdvance(QLatin1Char(c)) != zero) {
            return false;
        }
    }
    return zero > 0;
}

QString fontTabularDigitFamily(const QFont& preferred) {
    static QHash<QString, QString> decided;
    const QString key = preferred.key();
    if (const auto it = decided.constFind(key); it != decided.constEnd()) {
        return *it;
    }
    const QString own = preferred.family();
    const QStringList candidates{own, QStringLiteral("DejaVu Sans"), QStringLiteral("Noto Sans"),
                                 QStringLiteral("Liberation Sans")};
    QString family = QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
    for (const QString& name : candidates) {
        QFont f = preferred;
        f.setFamily(name);
        const QString resolved = QFontInfo(f).family();
        // The preferred family may be an alias ("Sans Serif"); any other name must be the
        // family itself, not whatever the font matcher substituted for a missing one.
        const bool real = name == own || resolved.compare(name, Qt::CaseInsensitive) == 0;
        if (real && fontHasTabularDigits(f)) {
            family = resolved;
            break;
        }
    }
    decided.insert(key, family);
    return family;
}
