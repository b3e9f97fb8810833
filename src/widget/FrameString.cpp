#include "FrameString.h"

#include <array>
#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

namespace {

void appendNumber(std::string& out, double value) {
    std::array<char, 64> buf{};
    const auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value);
    if (ec == std::errc()) {
        out.append(buf.data(), end);
    } else {
        out += '0';
    }
}

bool isDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

bool isLetter(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

// Where a number may start: a digit, or a sign or point directly before one.
bool numberStartsAt(QStringView text, qsizetype i) {
    const char16_t c = text[i].unicode();
    if (isDigit(c)) {
        return true;
    }
    qsizetype j = i;
    if (c == u'-' || c == u'+') {
        ++j;
    }
    if (j < text.size() && text[j] == u'.') {
        ++j;
    }
    return j > i && j < text.size() && isDigit(text[j].unicode());
}

} // namespace

QString frameToString(const QRectF& rect) {
    std::string out = "{{";
    appendNumber(out, rect.x());
    out += ", ";
    appendNumber(out, rect.y());
    out += "}, {";
    appendNumber(out, rect.width());
    out += ", ";
    appendNumber(out, rect.height());
    out += "}}";
    return QString::fromStdString(out);
}

std::optional<QRectF> frameReadString(QStringView text) {
    std::array<double, 4> values{};
    std::size_t found = 0;
    std::string number;
    qsizetype i = 0;
    while (i < text.size() && found < values.size()) {
        const char16_t c = text[i].unicode();
        if (isLetter(c)) {
            return std::nullopt;
        }
        if (!numberStartsAt(text, i)) {
            ++i;
            continue;
        }
        // Collect the characters a decimal number can hold, then let from_chars decide
        // how many of them form the number; the rest is scanned again as separators.
        number.clear();
        qsizetype j = i;
        if (text[j] == u'+') {
            ++j;
        }
        const qsizetype start = j;
        while (j < text.size()) {
            const char16_t d = text[j].unicode();
            const bool exponentSign = (d == u'-' || d == u'+') && j > start &&
                                      (text[j - 1] == u'e' || text[j - 1] == u'E');
            if (!(isDigit(d) || d == u'.' || d == u'e' || d == u'E' || exponentSign ||
                  (d == u'-' && j == start))) {
                break;
            }
            number += static_cast<char>(d);
            ++j;
        }
        double value = 0;
        const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
        if (ec != std::errc() || !std::isfinite(value)) {
            return std::nullopt;
        }
        values[found++] = value;
        i = start + (end - number.data());
    }
    if (found == 0) {
        return std::nullopt;
    }
    return QRectF(values[0], values[1], values[2], values[3]);
}

QRectF frameFromString(QStringView text) {
    return frameReadString(text).value_or(QRectF());
}
