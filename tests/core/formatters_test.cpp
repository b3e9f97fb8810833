#include "Formatters.h"

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <gtest/gtest.h>
#include <limits>

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Formatters, RowsBoundsAndRounding) {
    const std::pair<double, const char*> speeds[] = {
        {-kInf, "0 B/s"},      {1023.5, "1024 B/s"}, // rounds up but stays in the bytes row
        {1024, "1.0 KB/s"},    {1048575, "1024.0 KB/s"},
        {1048576, "1.0 MB/s"}, {1073741824, "1.00 GB/s"},
        {kInf, "inf GB/s"},    {std::numeric_limits<double>::quiet_NaN(), "nan GB/s"},
    };
    for (const auto& [value, text] : speeds) {
        EXPECT_EQ(fmtSpeed(value), text) << value;
    }

    // The menu has no terabyte row; the history window does.
    const std::tuple<std::uint64_t, const char*, const char*> counts[] = {
        {1023, "1023 B", "1023 B"},
        {1024, "1.0 KB", "1.0 KB"},
        {(1ULL << 30) - 1, "1024.0 MB", "1024.0 MB"},
        {1ULL << 40, "1024.00 GB", "1.00 TB"},
        {kMax, "17179869184.00 GB", "16777216.00 TB"},
    };
    for (const auto& [value, menu, history] : counts) {
        EXPECT_EQ(fmtBytes(value), menu) << value;
        EXPECT_EQ(fmtBytesTraffic(value), history) << value;
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
    // Every row goes through one number formatter.
    EXPECT_EQ(fmtSpeed(1536), "1.5 KB/s");
    std::setlocale(LC_NUMERIC, saved.c_str());
}

} // namespace
