#include "TrafficJson.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <charconv>
#include <limits>

namespace {

// Only whole numbers within the signed 64-bit range count; everything else reads as 0.
// Qt keeps integers that fit in 64 bits exactly, so large counts survive a load.
std::uint64_t readCount(const QJsonValue& value) {
    if (value.type() != QJsonValue::Double)
        return 0;
    const qint64 n = value.toInteger(0);
    return n > 0 ? static_cast<std::uint64_t>(n) : 0;
}

// Lookups by Latin-1 key compare in place; iterating would build a QString per member.
AppTraffic readApp(const QJsonObject& object) {
    return {readCount(object.value(QLatin1StringView("in"))),
            readCount(object.value(QLatin1StringView("out")))};
}

DailyTraffic readDay(const QJsonObject& object) {
    DailyTraffic day{{readCount(object.value(QLatin1StringView("totalIn"))),
                      readCount(object.value(QLatin1StringView("totalOut")))},
                     {}};
    const QJsonValue apps = object.value(QLatin1StringView("apps"));
    if (!apps.isObject())
        return day;
    const QJsonObject appsObject = apps.toObject();
    // Keys arrive sorted and unique, so each insertion lands at the end of the map.
    for (auto it = appsObject.begin(), end = appsObject.end(); it != end; ++it) {
        const QJsonValue app = it.value();
        if (app.isObject())
            day.apps.insert(day.apps.end(), {it.key(), readApp(app.toObject())});
    }
    return day;
}

void appendCount(QByteArray& out, std::uint64_t value) {
    constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<qint64>::max());
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::min(value, largest));
    out.append(buffer, result.ptr - buffer);
}

void appendString(QByteArray& out, QByteArrayView utf8) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (const char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += "\\u00";
                out += hex[u >> 4];
                out += hex[u & 0xf];
            }
        } else {
            out += c;
        }
    }
    out += '"';
}

} // namespace

TrafficParse trafficFromJson(const QByteArray& bytes, TrafficDays& out) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        return TrafficParse::NotJson;
    if (!document.isObject())
        return TrafficParse::NotObject;
    const QJsonObject top = document.object();
    TrafficDays days;
    for (auto it = top.begin(), end = top.end(); it != end; ++it) {
        const QJsonValue day = it.value();
        if (day.isObject())
            days.insert(days.end(), {it.key(), readDay(day.toObject())});
    }
    out = std::move(days);
    return TrafficParse::Ok;
}

void trafficAppendDayStart(QByteArray& out, bool first, QByteArrayView key, std::uint64_t totalIn,
                           std::uint64_t totalOut) {
    out += first ? "\n    " : ",\n    ";
    appendString(out, key);
    out += ": {\n        \"totalIn\": ";
    appendCount(out, totalIn);
    out += ",\n        \"totalOut\": ";
    appendCount(out, totalOut);
    out += ",\n        \"apps\": {";
}

void trafficAppendApp(QByteArray& out, bool first, QByteArrayView name, std::uint64_t in,
                      std::uint64_t sent) {
    out += first ? "\n            " : ",\n            ";
    appendString(out, name);
    out += ": {\"in\": ";
    appendCount(out, in);
    out += ", \"out\": ";
    appendCount(out, sent);
    out += '}';
}

void trafficAppendDayEnd(QByteArray& out, bool hadApps) {
    out += hadApps ? "\n        }\n    }" : "}\n    }";
}

void trafficAppendDayJson(QByteArray& out, bool first, const QString& key,
                          const DailyTraffic& day) {
    trafficAppendDayStart(out, first, key.toUtf8(), day.total.in, day.total.out);
    bool firstApp = true;
    for (const auto& [name, app] : day.apps) {
        trafficAppendApp(out, firstApp, name.toUtf8(), app.in, app.out);
        firstApp = false;
    }
    trafficAppendDayEnd(out, !day.apps.empty());
}

QByteArray trafficToJson(const TrafficDays& days) {
    // Written by hand rather than through QJsonObject: building large objects one member at a
    // time costs more than the whole write, and the member order stays the file's own. One
    // line per application keeps a five-year file small enough to load quickly.
    QByteArray out;
    std::size_t apps = 0;
    for (const auto& entry : days)
        apps += entry.second.apps.size();
    out.reserve(static_cast<qsizetype>(days.size() * 120 + apps * 64 + 16));
    out += '{';
    bool first = true;
    for (const auto& [key, day] : days) {
        trafficAppendDayJson(out, first, key, day);
        first = false;
    }
    out += trafficJsonEnd(days.empty());
    return out;
}

const char* trafficJsonEnd(bool empty) {
    return empty ? "}\n" : "\n}\n";
}
