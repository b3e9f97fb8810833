#include "Formatters.h"

#include <array>
#include <charconv>

QString fmtFixed(double value, int precision) {
    // std::to_chars is locale-independent and rounds exactly like printf does in the C
    // locale, unlike snprintf, whose decimal point follows LC_NUMERIC (which Qt sets
    // from the environment at start-up).
    std::array<char, 400> buf{};
    const auto res = std::to_chars(buf.data(), buf.data() + buf.size(), value,
                                   std::chars_format::fixed, precision);
    return QString::fromLatin1(buf.data(), static_cast<qsizetype>(res.ptr - buf.data()));
}

namespace {

constexpr double kKiB = 1024.0;
constexpr double kMiB = 1048576.0;
constexpr double kGiB = 1073741824.0;
constexpr double kTiB = 1099511627776.0;

QString withUnit(double value, int precision, const char* unit) {
    return fmtFixed(value, precision) + QLatin1Char(' ') + QLatin1String(unit);
}

// The rows shared by both byte formatters, up to and excluding the gigabyte row.
bool smallBytes(std::uint64_t n, QString& out) {
    if (n <= 1023) {
        out = QString::number(n) + QStringLiteral(" B");
        return true;
    }
    if (n < 1048576) {
        out = withUnit(static_cast<double>(n) / kKiB, 1, "KB");
        return true;
    }
    if (n < 1073741824) {
        out = withUnit(static_cast<double>(n) / kMiB, 1, "MB");
        return true;
    }
    return false;
}

} // namespace

QString fmtSpeed(double rate) {
    // NaN fails every comparison, so it is not clamped and falls through to the last row.
    const double v = rate <= 0 ? 0.0 : rate;
    if (v < kKiB) {
        return withUnit(v, 0, "B/s");
    }
    if (v < kMiB) {
        return withUnit(v / kKiB, 1, "KB/s");
    }
    if (v < kGiB) {
        return withUnit(v / kMiB, 1, "MB/s");
    }
    return withUnit(v / kGiB, 2, "GB/s");
}

QString fmtBytes(std::uint64_t n) {
    QString out;
    if (smallBytes(n, out)) {
        return out;
    }
    return withUnit(static_cast<double>(n) / kGiB, 2, "GB");
}

QString fmtBytesTraffic(std::uint64_t n) {
    QString out;
    if (smallBytes(n, out)) {
        return out;
    }
    if (n < 1099511627776ULL) {
        return withUnit(static_cast<double>(n) / kGiB, 2, "GB");
    }
    return withUnit(static_cast<double>(n) / kTiB, 2, "TB");
}
