#include "Formatters.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(FmtSpeed, RowsBoundsAndRounding) {
    EXPECT_EQ(fmtSpeed(-5), "0 B/s");
    EXPECT_EQ(fmtSpeed(0), "0 B/s");
    EXPECT_EQ(fmtSpeed(-0.0), "0 B/s");
    EXPECT_EQ(fmtSpeed(0.5), "0 B/s"); // half to even
    EXPECT_EQ(fmtSpeed(1.5), "2 B/s");
    EXPECT_EQ(fmtSpeed(999), "999 B/s");
    EXPECT_EQ(fmtSpeed(1023.4), "1023 B/s");
    EXPECT_EQ(fmtSpeed(1023.5), "1024 B/s"); // still the bytes row
    EXPECT_EQ(fmtSpeed(1023.6), "1024 B/s");
    EXPECT_EQ(fmtSpeed(1024), "1.0 KB/s");
    EXPECT_EQ(fmtSpeed(1075), "1.0 KB/s");
    EXPECT_EQ(fmtSpeed(1126.4), "1.1 KB/s");
    EXPECT_EQ(fmtSpeed(1536), "1.5 KB/s");
    EXPECT_EQ(fmtSpeed(1048575), "1024.0 KB/s");
    EXPECT_EQ(fmtSpeed(1048576), "1.0 MB/s");
    EXPECT_EQ(fmtSpeed(1572864), "1.5 MB/s");
    EXPECT_EQ(fmtSpeed(1073741823), "1024.0 MB/s");
    EXPECT_EQ(fmtSpeed(1073741824), "1.00 GB/s");
    EXPECT_EQ(fmtSpeed(1e12), "931.32 GB/s");
}

TEST(FmtSpeed, NonFiniteFailEveryBound) {
    EXPECT_EQ(fmtSpeed(std::numeric_limits<double>::infinity()), "inf GB/s");
    EXPECT_EQ(fmtSpeed(std::numeric_limits<double>::quiet_NaN()), "nan GB/s");
    EXPECT_EQ(fmtSpeed(-std::numeric_limits<double>::infinity()), "0 B/s");
}

TEST(FmtBytes, RowsAndLargestCount) {
    EXPECT_EQ(fmtBytes(0), "0 B");
    EXPECT_EQ(fmtBytes(1), "1 B");
    EXPECT_EQ(fmtBytes(999), "999 B");
    EXPECT_EQ(fmtBytes(1023), "1023 B");
    EXPECT_EQ(fmtBytes(1024), "1.0 KB");
    EXPECT_EQ(fmtBytes(1075), "1.0 KB");
    EXPECT_EQ(fmtBytes(1536), "1.5 KB");
    EXPECT_EQ(fmtBytes(1048575), "1024.0 KB");
    EXPECT_EQ(fmtBytes(1048576), "1.0 MB");
    EXPECT_EQ(fmtBytes((1ULL << 30) - 1), "1024.0 MB");
    EXPECT_EQ(fmtBytes(1ULL << 30), "1.00 GB");
    EXPECT_EQ(fmtBytes(3ULL << 29), "1.50 GB");
    EXPECT_EQ(fmtBytes(1ULL << 40), "1024.00 GB"); // no terabyte row here
    EXPECT_EQ(fmtBytes(kMax), "17179869184.00 GB");
}

TEST(FmtBytesTraffic, TerabyteRowAndAgreementBelowIt) {
    EXPECT_EQ(fmtBytesTraffic(0), "0 B");
    EXPECT_EQ(fmtBytesTraffic(10240), "10.0 KB");
    EXPECT_EQ(fmtBytesTraffic((1ULL << 30) - 1), "1024.0 MB");
    EXPECT_EQ(fmtBytesTraffic(3ULL << 29), "1.50 GB");
    EXPECT_EQ(fmtBytesTraffic((1ULL << 40) - 1), "1024.00 GB");
    EXPECT_EQ(fmtBytesTraffic(1ULL << 40), "1.00 TB");
    EXPECT_EQ(fmtBytesTraffic(kMax), "16777216.00 TB");
    // Below 2^40 both byte formatters agree, across every row boundary.
    for (std::uint64_t edge : {1023ULL, 1024ULL, 1048575ULL, 1048576ULL, (1ULL << 30) - 1,
                               1ULL << 30, (1ULL << 40) - 1}) {
        for (std::uint64_t n : {edge - 1, edge, edge + 1}) {
            if (n < (1ULL << 40)) {
                EXPECT_EQ(fmtBytesTraffic(n), fmtBytes(n)) << n;
            }
        }
    }
}

TEST(Formatters, IgnoreTheNumericLocale) {
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = old ? old : "C";
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "de_DE.utf8")) {
        GTEST_SKIP() << "no de_DE.UTF-8 locale installed (scripts/test generates it)";
    }
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    ASSERT_STREQ(probe, "1,5") << "the locale should use a decimal comma";
    EXPECT_EQ(fmtBytes(1536), "1.5 KB");
    EXPECT_EQ(fmtSpeed(1536), "1.5 KB/s");
    EXPECT_EQ(fmtBytesTraffic(3ULL << 29), "1.50 GB");
    std::setlocale(LC_NUMERIC, saved.c_str());
}

} // namespace
