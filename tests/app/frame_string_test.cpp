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

TEST(FrameString, WritesShortestTextThatReadsBackExactly) {
    EXPECT_EQ(frameToString({1208, 796, 216, 92}), "{{1208, 796}, {216, 92}}");
    EXPECT_EQ(frameToString({-40.5, 0.1, 300, 92.25}), "{{-40.5, 0.1}, {300, 92.25}}");
    EXPECT_EQ(frameToString({1e20, -0.0, 216, 92}), "{{1e+20, -0}, {216, 92}}");
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> coord(-5000, 5000);
    for (int i = 0; i < 2000; ++i) {
        const QRectF r(coord(rng), coord(rng), coord(rng) / 3, std::nextafter(coord(rng), 0.0));
        ASSERT_TRUE(sameBits(r, frameFromString(frameToString(r))))
            << frameToString(r).toStdString();
    }
    const QRectF extremes(std::numeric_limits<double>::denorm_min(),
                          -std::numeric_limits<double>::max(), 0.1 + 0.2, 1.0 / 3);
    EXPECT_TRUE(sameBits(frameFromString(frameToString(extremes)), extremes));
}

TEST(FrameString, ReadsLenientlyAndNoRectangleAsZero) {
    const std::pair<QString, QRectF> cases[] = {
        {QStringLiteral("{{100,200},{216,92}}"), {100, 200, 216, 92}},
        {QStringLiteral("  100 200 216 92 "), {100, 200, 216, 92}},
        {QStringLiteral("{{-1.5e2, +2}, {.5, 92.}}"), {-150, 2, 0.5, 92}},
        // Missing numbers count as zero, extra ones are ignored.
        {QStringLiteral("{{1, 2}, {300}}"), {1, 2, 300, 0}},
        {QStringLiteral("{{1, 2}, {3, 4}, {5, 6}}"), {1, 2, 3, 4}},
        // A minus that belongs to no number separates; one glued to a number starts the next.
        {QStringLiteral("{{1 - 2}, {3-4}}"), {1, 2, 3, -4}},
        // A megabyte of separators before the numbers is still read.
        {QString(1 << 20, u'{') + QStringLiteral("1, 2, 300, 92"), {1, 2, 300, 92}},
        {QStringLiteral("0.") + QString(100000, u'5') + QStringLiteral(" 0 300 92"),
         {5.0 / 9, 0, 300, 92}},
    };
    for (const auto& [text, frame] : cases)
        EXPECT_EQ(frameFromString(text), frame) << text.left(40).toStdString();
    for (const QString& text :
         {QStringLiteral(""), QStringLiteral("garbage"), QStringLiteral("{{}, {}}"),
          QStringLiteral("{{nan, 0}, {300, 92}}"), QStringLiteral("{{0, 0}, {inf, 92}}"),
          QStringLiteral("{{0, 0}, {1e999, 92}}"), QStringLiteral("{{0, 0}, {-1e400, 92}}"),
          QStringLiteral("0x10 20 300 92"), QStringLiteral("1e 2 300 92"),
          QString(1 << 20, u'9')}) {
        EXPECT_EQ(frameFromString(text), zero) << text.left(40).toStdString();
    }
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
