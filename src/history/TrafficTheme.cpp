#include "TrafficTheme.h"

#include "DigitFont.h"

#include <QGuiApplication>

namespace {

QColor srgb(float r, float g, float b) {
    return QColor::fromRgbF(r, g, b, 1.0f);
}
QColor white(float w, float a = 1.0f) {
    return QColor::fromRgbF(w, w, w, a);
}

} // namespace

// Function-local statics: thread-safe one-time construction per colour.
const QColor& TrafficTheme::windowBG() {
    static const QColor c = srgb(0.055f, 0.065f, 0.095f);
    return c;
}
const QColor& TrafficTheme::cardBG() {
    static const QColor c = srgb(0.075f, 0.09f, 0.14f);
    return c;
}
const QColor& TrafficTheme::downBlue() {
    static const QColor c = srgb(0.42f, 0.72f, 1.0f);
    return c;
}
const QColor& TrafficTheme::upGreen() {
    static const QColor c = srgb(0.36f, 0.9f, 0.6f);
    return c;
}
const QColor& TrafficTheme::textPrimary() {
    static const QColor c = white(0.93f);
    return c;
}
const QColor& TrafficTheme::textSecondary() {
    static const QColor c = white(0.72f);
    return c;
}
const QColor& TrafficTheme::textDim() {
    static const QColor c = white(0.55f);
    return c;
}
const QColor& TrafficTheme::hairline() {
    static const QColor c = white(1.0f, 0.07f);
    return c;
}

QFont historyFont(int pixelSize, QFont::Weight weight, bool tabularDigits) {
    QFont f = QGuiApplication::font();
    f.setPixelSize(pixelSize);
    f.setWeight(weight);
    if (tabularDigits) {
        f.setFamily(fontTabularDigitFamily(f));
    }
    return f;
}
