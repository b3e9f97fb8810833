#include "FrameString.h"
#include "PanelPlacement.h"

#include <QString>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <random>

namespace {

const QRectF zero(0, 0, 0, 0);
const QRectF fallback(0, 0, 216, 92);

bool sameBits(const QRectF& a, const QRectF& b) {
    return std::memcmp(&a, &b, sizeof(QRectF)) == 0;
}

} // namespace

TEST(FrameString, WritesIntegersPlainlyAndShortestFractions) {
    EXPECT_EQ(frameToString({1208, 796, 216, 92}), "{{1208, 796}, {216, 92}}");
    EXPECT_EQ(frameToString({-40.5, 0.1, 300, 92.25}), "{{-40.5, 0.1}, {300, 92.25}}");
    EXPECT_EQ(frameToString({1e20, -0.0, 216, 92}), "{{1e+20, -0}, {216, 92}}");
}

TEST(FrameString, NumbersRoundTripExactly) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> coord(-5000, 5000);
    for (int i = 0; i < 2000; ++i) {
        const QRectF r(coord(rng), coord(rng), coord(rng) / 3, std::nextafter(coord(rng), 0.0));
        const QRectF back = frameFromString(frameToString(r));
        ASSERT_TRUE(sameBits(r, back)) << frameToString(r).toStdString();
    }
    const double tiny = std::numeric_limits<double>::denorm_min();
    const QRectF extremes(tiny, -std::numeric_limits<double>::max(), 0.1 + 0.2, 1.0 / 3);
    EXPECT_TRUE(sameBits(frameFromString(frameToString(extremes)), extremes));
}

TEST(FrameString, ReadsLeniently) {
    EXPECT_EQ(frameFromString(u"{{100, 200}, {216, 92}}"), QRectF(100, 200, 216, 92));
    EXPECT_EQ(frameFromString(u"{{100,200},{216,92}}"), QRectF(100, 200, 216, 92));
    EXPECT_EQ(frameFromString(u"  100 200 216 92 "), QRectF(100, 200, 216, 92));
    EXPECT_EQ(frameFromString(u"{{-1.5e2, +2}, {.5, 92.}}"), QRectF(-150, 2, 0.5, 92));
    // Missing numbers count as zero, extra ones are ignored.
    EXPECT_EQ(frameFromString(u"{{1, 2}, {300}}"), QRectF(1, 2, 300, 0));
    EXPECT_EQ(frameFromString(u"{{1, 2}, {3, 4}, {5, 6}}"), QRectF(1, 2, 3, 4));
    // A minus that belongs to no number is a separator, and one glued to the previous
    // number starts the next.
    EXPECT_EQ(frameFromString(u"{{1 - 2}, {3-4}}"), QRectF(1, 2, 3, -4));
}

TEST(FrameString, TextThatIsNoRectangleReadsAsZero) {
    for (const char16_t* text :
         {u"", u"garbage", u"{{}, {}}", u"{{nan, 0}, {300, 92}}", u"{{0, 0}, {inf, 92}}",
          u"{{0, 0}, {1e999, 92}}", u"{{0, 0}, {-1e400, 92}}", u"0x10 20 300 92", u"1e 2 300 92"}) {
        EXPECT_EQ(frameFromString(text), zero) << QString::fromUtf16(text).toStdString();
        EXPECT_FALSE(frameReadString(text)) << QString::fromUtf16(text).toStdString();
    }
    EXPECT_EQ(frameReadString(u"{{0, 0}, {0, 0}}"), zero);
}

TEST(FrameString, HugeInputsStayBounded) {
    // One number a megabyte long is beyond any double.
    EXPECT_EQ(frameFromString(QString(1 << 20, u'9')), zero);
    // A megabyte of separators before the numbers is still read.
    const QString padded = QString(1 << 20, u'{') + QStringLiteral("1, 2, 300, 92");
    EXPECT_EQ(frameFromString(padded), QRectF(1, 2, 300, 92));
    // Long fractions are fine: they round to the nearest double.
    EXPECT_EQ(
        frameFromString(QStringLiteral("0.") + QString(100000, u'5') + QStringLiteral(" 0 300 92"))
            .width(),
        300);
}

// Random text must never crash the reader (run under the sanitizers), and whatever it
// yields must end at a frame start-up can open: finite, the card's own size, wholly on the screen.
TEST(FrameString, RandomTextNeverCrashesAndAlwaysPlacesAUsableFrame) {
    std::mt19937 rng(20261206);
    const char16_t alphabet[] = u"{}, .-+eE0123456789naif\u5cf0\t";
    std::uniform_int_distribution<int> pick(0, int(std::size(alphabet)) - 2);
    std::uniform_int_distribution<int> length(0, 60);
    std::uniform_int_distribution<int> anyUnit(0, 0xFFFF);
    const std::vector<QRectF> screens{{0, 0, 1440, 900}};
    for (int i = 0; i < 20000; ++i) {
        QString text;
        const int n = length(rng);
        for (int k = 0; k < n; ++k) {
            text += QChar(i % 4 == 0 ? char16_t(anyUnit(rng)) : alphabet[pick(rng)]);
        }
        const QRectF r = frameFromString(text);
        ASSERT_TRUE(std::isfinite(r.x()) && std::isfinite(r.y()) && std::isfinite(r.width()) &&
                    std::isfinite(r.height()));
        const QRectF placed = placeRestoredFrame(text, QRectF(0, 0, 1440, 900), screens);
        ASSERT_EQ(placed.size(), QSizeF(216, 92)) << text.toStdString();
        ASSERT_TRUE(screens[0].contains(placed)) << text.toStdString();
    }
}
