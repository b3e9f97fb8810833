#pragma once

#include <QRectF>
#include <QString>
#include <optional>
#include <vector>

// Where the panel opens. Screen coordinates: origin bottom-left of the primary screen, y up.

// The area assumed when there is no screen at all.
inline constexpr QRectF placeNoScreenArea{0, 0, 1440, 900};

// Top-right corner of the visible area: 16 from its right edge, 12 below its top edge.
QRectF placeDefaultFrame(const std::optional<QRectF>& mainVisibleFrame);

// The frame for a stored "widgetFrame" text. A rectangle wider than 10 is used as stored;
// anything else (narrow, not a rectangle, or too large for any window system) opens at the
// origin with the standard size. Whatever results must overlap some visible screen area,
// otherwise the panel could never be reached again (it has no title bar, and its only menu
// is on itself): then it opens at the default corner. With no screens known, no check.
QRectF placeRestoredFrame(const QString& stored, const std::optional<QRectF>& mainVisibleFrame,
                          const std::vector<QRectF>& visibleFrames);

// Start-up's choice: the restored frame when a text is stored, the default corner otherwise.
QRectF placePanelFrame(const std::optional<QString>& stored,
                       const std::optional<QRectF>& mainVisibleFrame,
                       const std::vector<QRectF>& visibleFrames);
