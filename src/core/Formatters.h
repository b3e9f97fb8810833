#pragma once

#include <QString>
#include <cstdint>

// Short texts for rates and byte counts. Units step by powers of 1024; numbers are
// always written with a decimal point and no grouping, whatever the user's locale.

// A rate in bytes per second: "999 B/s", "1.5 KB/s", "1.5 MB/s", "1.00 GB/s".
QString fmtSpeed(double bytesPerSecond);

// A byte count for the widget's menu: "1023 B", "1.5 KB", "1.0 MB", "1.50 GB" (no TB row).
QString fmtBytes(std::uint64_t count);

// A byte count for the history window: as fmtBytes below 2^40, then "1.00 TB".
QString fmtBytesTraffic(std::uint64_t count);

// printf-style "%.<precision>f" in the C locale, rounding to nearest with ties to even.
QString fmtFixed(double value, int precision);
