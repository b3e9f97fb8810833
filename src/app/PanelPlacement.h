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

// `card` moved the least distance that puts it wholly inside `area`; a card wider or taller
// than the area keeps its left or top edge on the area's.
QRectF placeKeepInside(const QRectF& card, const QRectF& area);

// The frame for a stored "widgetFrame" text. Only the stored origin is used: the card always
// has its own size, since a stored size is whatever a hand or another program wrote (a card
// as large as the screen swallows every click, one of 11 x 1 cannot be found). Text that is
// not a rectangle opens at the default corner. A card that overlaps a visible screen area is
// moved wholly onto the one it overlaps most; one that overlaps none could never be reached
// again (it has no title bar, and its only menu is on itself) and opens at the default
// corner. With no screens known, the origin is used as stored.
QRectF placeRestoredFrame(const QString& stored, const std::optional<QRectF>& mainVisibleFrame,
                          const std::vector<QRectF>& visibleFrames);

// Start-up's choice: the restored frame when a text is stored, the default corner otherwise.
QRectF placePanelFrame(const std::optional<QString>& stored,
                       const std::optional<QRectF>& mainVisibleFrame,
                       const std::vector<QRectF>& visibleFrames);
