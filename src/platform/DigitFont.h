#pragma once

#include <QFont>
#include <QString>

// Numbers that change every second must not jitter, so their digits need one shared
// advance. Qt 6.4 cannot switch a font to tabular figures (macOS gives a monospaced-digit
// system font); this picks a family whose digits already are.

// Whether the digits 0-9 of `font` share one advance.
bool fontHasTabularDigits(const QFont& font);

// `preferred`'s family when its digits share one advance; else the first installed family
// of a few common ones whose digits do; else the system's fixed-pitch family. Decided once
// per font: the answer depends only on the installed fonts. Main thread only.
QString fontTabularDigitFamily(const QFont& preferred);
