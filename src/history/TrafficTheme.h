#pragma once

#include <QColor>
#include <QFont>

// The history window's palette. Downloaded bytes are always blue and uploaded bytes green.
// Each colour is built on its first read and shared, unchanged, for the rest of the process.
struct TrafficTheme {
    TrafficTheme() = delete;

    static const QColor& windowBG();
    static const QColor& cardBG();
    static const QColor& downBlue();
    static const QColor& upGreen();
    static const QColor& textPrimary();
    static const QColor& textSecondary();
    static const QColor& textDim();
    static const QColor& hairline();
};

// The UI font of the history window at a size in logical pixels. With tabularDigits the
// digits all take the same advance, so figures that change in place do not jitter; when the
// desktop's UI family draws proportional digits, the system's fixed-pitch family is used.
QFont historyFont(int pixelSize, QFont::Weight weight = QFont::Normal, bool tabularDigits = false);
