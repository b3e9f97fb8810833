#include "DesktopEntry.h"

#include <QByteArray>
#include <QList>
#include <QStringList>

namespace {

// The escapes string values may hold.
QString unescapeValue(QByteArrayView raw) {
    const QString value = QString::fromUtf8(raw).trimmed();
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (c != u'\\' || i + 1 == value.size()) {
            out += c;
            continue;
        }
        const QChar next = value[++i];
        switch (next.unicode()) {
        case 's':
            out += u' ';
            break;
        case 'n':
            out += u'\n';
            break;
        case 't':
            out += u'\t';
            break;
        case 'r':
            out += u'\r';
            break;
        default:
            out += next;
            break;
        }
    }
    return out;
}

// Locale keys from the most specific to the least, without the plain key.
QStringList localeKeys(const QString& locale) {
    QString lang = locale;
    QString modifier;
    const auto at = lang.indexOf(u'@');
    if (at >= 0) {
        modifier = lang.mid(at);
        lang.truncate(at);
    }
    const auto dot = lang.indexOf(u'.');
    if (dot >= 0)
        lang.truncate(dot);
    QString country;
    const auto underscore = lang.indexOf(u'_');
    if (underscore >= 0) {
        country = lang.mid(underscore);
        lang.truncate(underscore);
    }
    QStringList keys;
    if (lang.isEmpty() || lang == u"C" || lang == u"POSIX")
        return keys;
    if (!country.isEmpty() && !modifier.isEmpty())
        keys << lang + country + modifier;
    if (!country.isEmpty())
        keys << lang + country;
    if (!modifier.isEmpty())
        keys << lang + modifier;
    keys << lang;
    return keys;
}

} // namespace

std::optional<DesktopEntry> desktopEntryParse(QByteArrayView text, const QString& locale) {
    const QStringList wanted = localeKeys(locale);
    bool inMain = false;
    bool application = false;
    QString name;
    int nameRank = wanted.size() + 1; // lower is better; the plain key ranks last
    DesktopEntry entry;
    for (QByteArrayView line : QByteArray(text.data(), text.size()).split('\n')) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (line.startsWith('[')) {
            inMain = line == "[Desktop Entry]";
            continue;
        }
        const auto eq = line.indexOf('=');
        if (!inMain || eq <= 0)
            continue;
        const QByteArrayView key = line.first(eq).trimmed();
        const QByteArrayView value = line.sliced(eq + 1);
        if (key == "Type") {
            application = value.trimmed() == "Application";
        } else if (key == "Icon") {
            entry.icon = unescapeValue(value);
        } else if (key == "Name") {
            if (nameRank > wanted.size()) {
                name = unescapeValue(value);
                nameRank = wanted.size();
            }
        } else if (key.startsWith("Name[") && key.endsWith(']')) {
            const QString tag = QString::fromUtf8(key.sliced(5, key.size() - 6));
            const int rank = static_cast<int>(wanted.indexOf(tag));
            if (rank >= 0 && rank < nameRank) {
                name = unescapeValue(value);
                nameRank = rank;
            }
        }
    }
    if (!application || name.isEmpty())
        return std::nullopt;
    entry.name = name;
    return entry;
}
