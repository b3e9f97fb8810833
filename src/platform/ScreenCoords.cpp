#include "ScreenCoords.h"

#include <QGuiApplication>
#include <QScreen>

double scrPrimaryHeight() {
    if (const QScreen* primary = QGuiApplication::primaryScreen()) {
        return primary->geometry().height();
    }
    return 900;
}

QRectF scrRectToQt(const QRectF& rect, double primaryHeight) {
    return {rect.x(), primaryHeight - (rect.y() + rect.height()), rect.width(), rect.height()};
}

QRectF scrRectFromQt(const QRectF& rect, double primaryHeight) {
    return scrRectToQt(rect, primaryHeight);
}

QPointF scrPointToQt(QPointF point, double primaryHeight) {
    return {point.x(), primaryHeight - point.y()};
}

QPointF scrPointFromQt(QPointF point, double primaryHeight) {
    return scrPointToQt(point, primaryHeight);
}

ScreenFrames scrFramesOf(const QScreen& screen, double primaryHeight) {
    return {scrRectFromQt(QRectF(screen.geometry()), primaryHeight),
            scrRectFromQt(QRectF(screen.availableGeometry()), primaryHeight)};
}

std::vector<ScreenFrames> scrAllScreens() {
    std::vector<ScreenFrames> result;
    const double height = scrPrimaryHeight();
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (primary) {
        result.push_back(scrFramesOf(*primary, height));
    }
    for (const QScreen* screen : QGuiApplication::screens()) {
        if (screen != primary) {
            result.push_back(scrFramesOf(*screen, height));
        }
    }
    return result;
}

std::optional<QRectF> scrMainVisibleFrame() {
    if (const QScreen* primary = QGuiApplication::primaryScreen()) {
        return scrFramesOf(*primary, scrPrimaryHeight()).visibleFrame;
    }
    return std::nullopt;
}

std::optional<ScreenFrames> scrScreenForFrame(const QRectF& frame,
                                              const std::vector<ScreenFrames>& screens) {
    std::optional<ScreenFrames> best;
    double bestArea = 0;
    for (const ScreenFrames& screen : screens) {
        const QRectF overlap = screen.frame.intersected(frame);
        const double area = overlap.width() * overlap.height();
        if (area > bestArea) {
            bestArea = area;
            best = screen;
        }
    }
    return best;
}

bool scrClientPlacesWindows() {
    return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}
