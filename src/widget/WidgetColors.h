#pragma once

#include <QColor>

// The two directions' colours: the arrows at full strength, the graph's bars lighter.
inline constexpr float kBarAlpha = 0.75f;

inline QColor widgetUpColor(float alpha = 1.0f) {
    return QColor::fromRgbF(0.3f, 0.85f, 0.52f, alpha);
}

inline QColor widgetDownColor(float alpha = 1.0f) {
    return QColor::fromRgbF(0.35f, 0.64f, 1.0f, alpha);
}
