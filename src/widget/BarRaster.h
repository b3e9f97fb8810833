#pragma once

#include <QImage>
#include <QRectF>

// Blends an antialiased rounded rectangle, given in device pixels, over a premultiplied
// ARGB32 image, as a solid fill of each pixel's exact coverage would. `premultiplied` is
// the fill colour, premultiplied. Pixels outside the image are left alone.
//
// Each antialiased rounded rectangle through QPainter costs about two microseconds (curve
// flattening and a rasteriser pass each), which for the graph's 120 bars is most of a
// repaint. A bar covers only three or four pixel columns, so its exact coverage is cheap to
// compute directly: the rectangle's overlap with the pixel, less the parts cut off by the
// elliptical corners. QPainter flattens the corner curves into a few chords first, so most
// pixels agree with it to a level or two, and slivers under a pixel tall (whose rounded
// ends QPainter reduces to single chords) come out a little fuller.
void rasterBlendRoundedRect(QImage& image, const QRectF& rect, qreal radius, quint32 premultiplied);
