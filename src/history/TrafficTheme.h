#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QString>

class QStyle;
class QWidget;

// The history window's look: its colours, a dark palette and a Fusion style of its own,
// whatever the desktop's, and the style sheets of its header and scroll bars. Downloaded
// bytes are always blue and uploaded bytes green. Each colour is built on its first read and
// shared, unchanged, for the rest of the process.
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

    static QPalette palette();
    // Shared by every history window and kept for the life of the process, so no widget
    // can outlive its style; null when Qt has no Fusion.
    static QStyle* style();
    // A flat header over the table's rows and slim overlay-like scrollers, as dark native
    // lists have, instead of the style's raised header cells and arrowed scroll bars.
    static QString tableHeaderSheet();
    static QString horizontalScrollerSheet();
    static QString verticalScrollerSheet();
    // Gives a widget's text this colour and this font.
    static void setText(QWidget& widget, const QColor& color, const QFont& font);
};

// The UI font of the history window at a size in logical pixels. With tabularDigits the
// digits all take the same advance, so figures that change in place do not jitter; when the
// desktop's UI family draws proportional digits, the system's fixed-pitch family is used.
QFont historyFont(int pixelSize, QFont::Weight weight = QFont::Normal, bool tabularDigits = false);
