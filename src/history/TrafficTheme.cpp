#include "TrafficTheme.h"

#include "DigitFont.h"

#include <QGuiApplication>
#include <QStyle>
#include <QStyleFactory>
#include <QWidget>

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

QPalette TrafficTheme::palette() {
    QPalette pal;
    for (auto group : {QPalette::Active, QPalette::Inactive}) {
        pal.setColor(group, QPalette::Window, windowBG());
        pal.setColor(group, QPalette::WindowText, textPrimary());
        pal.setColor(group, QPalette::Base, cardBG());
        pal.setColor(group, QPalette::AlternateBase, white(1, 0.035f));
        pal.setColor(group, QPalette::Text, textPrimary());
        pal.setColor(group, QPalette::Button, srgb(0.11f, 0.13f, 0.19f));
        pal.setColor(group, QPalette::ButtonText, textPrimary());
        pal.setColor(group, QPalette::BrightText, Qt::white);
        pal.setColor(group, QPalette::ToolTipBase, srgb(0.13f, 0.15f, 0.21f));
        pal.setColor(group, QPalette::ToolTipText, textPrimary());
        pal.setColor(group, QPalette::PlaceholderText, textDim());
        pal.setColor(group, QPalette::Light, white(1, 0.12f));
        pal.setColor(group, QPalette::Midlight, white(1, 0.08f));
        pal.setColor(group, QPalette::Mid, white(0, 0.3f));
        pal.setColor(group, QPalette::Dark, white(0, 0.5f));
        pal.setColor(group, QPalette::Shadow, white(0, 0.7f));
        pal.setColor(group, QPalette::Highlight, srgb(0.2f, 0.36f, 0.6f));
        pal.setColor(group, QPalette::HighlightedText, Qt::white);
        pal.setColor(group, QPalette::Link, downBlue());
    }
    pal.setColor(QPalette::Inactive, QPalette::Highlight, srgb(0.18f, 0.22f, 0.3f));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        pal.setColor(QPalette::Disabled, role, textDim());
    }
    pal.setColor(QPalette::Disabled, QPalette::Window, windowBG());
    pal.setColor(QPalette::Disabled, QPalette::Base, cardBG());
    return pal;
}

QStyle* TrafficTheme::style() {
    static QStyle* const fusion = QStyleFactory::create(QStringLiteral("Fusion"));
    return fusion;
}

QString TrafficTheme::tableHeaderSheet() {
    return QStringLiteral(
        "QHeaderView { background: transparent; border: none; }"
        "QHeaderView::section { background: transparent; color: rgba(255,255,255,140);"
        " border: none; border-bottom: 1px solid rgba(255,255,255,20); padding: 0 4px; }");
}

QString TrafficTheme::horizontalScrollerSheet() {
    return QStringLiteral(
        "QScrollBar:horizontal { background: transparent; height: 8px; margin: 0 2px 0 2px; }"
        "QScrollBar::handle:horizontal { background: rgba(255,255,255,60); border-radius: 3px;"
        " min-width: 24px; margin: 2px 0 0 0; }"
        "QScrollBar::add-line:horizontal, QScrollBar::sub-line:horizontal { width: 0; }"
        "QScrollBar::add-page:horizontal, QScrollBar::sub-page:horizontal { background: none; }");
}

QString TrafficTheme::verticalScrollerSheet() {
    return QStringLiteral(
        "QScrollBar:vertical { background: transparent; width: 10px; margin: 2px 0 2px 0; }"
        "QScrollBar::handle:vertical { background: rgba(255,255,255,60); border-radius: 3px;"
        " min-height: 24px; margin: 0 2px 0 2px; }"
        "QScrollBar::handle:vertical:hover { background: rgba(255,255,255,100); }"
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }");
}

void TrafficTheme::setText(QWidget& widget, const QColor& color, const QFont& font) {
    QPalette pal = widget.palette();
    pal.setColor(QPalette::WindowText, color);
    widget.setPalette(pal);
    widget.setFont(font);
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
