#pragma once

#include <QPointF>
#include <QRectF>
#include <optional>
#include <vector>

// The one place that converts between the model's screen coordinates (origin at the
// bottom-left of the primary screen, y up) and Qt's (origin top-left, y down). Both are in
// logical pixels; only y changes.

class QScreen;

// Height of the primary screen in logical pixels; 900 when there is no screen at all.
double scrPrimaryHeight();

// A rectangle in one system converted to the other (the conversion is its own inverse).
QRectF scrRectToQt(const QRectF& rect, double primaryHeight);
QRectF scrRectFromQt(const QRectF& rect, double primaryHeight);
QPointF scrPointToQt(QPointF point, double primaryHeight);
QPointF scrPointFromQt(QPointF point, double primaryHeight);

// A screen's full and visible (without panels and docks) areas in screen coordinates.
struct ScreenFrames {
    QRectF frame;
    QRectF visibleFrame;
};

ScreenFrames scrFramesOf(const QScreen& screen, double primaryHeight);

// Every connected screen, primary first.
std::vector<ScreenFrames> scrAllScreens();

// The primary screen's visible frame, if there is a screen.
std::optional<QRectF> scrMainVisibleFrame();

// The screen a window with this frame is on: the one it overlaps most; none when it
// overlaps no screen at all.
std::optional<ScreenFrames> scrScreenForFrame(const QRectF& frame,
                                              const std::vector<ScreenFrames>& screens);

// False where the display server does not let a client place its own windows (Wayland):
// the panel then moves by the compositor's drag and its position is not stored.
bool scrClientPlacesWindows();
