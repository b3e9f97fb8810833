#pragma once

#include <QRectF>
#include <QWidget>

class SpeedView;

// The floating window that carries the widget: no frame, no taskbar entry, above other
// windows, never takes focus, transparent outside the card, on every workspace.
class WidgetPanel : public QWidget {
    Q_OBJECT
public:
    // `frame` in screen coordinates (origin bottom-left of the primary screen, y up).
    explicit WidgetPanel(const QRectF& frame);

    SpeedView* view() const { return m_speedView; }

    // Shows the panel without activating anything; asks for all workspaces first.
    void present();

private:
    SpeedView* m_speedView = nullptr;
};
