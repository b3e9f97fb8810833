#include "Startup.h"

#include "FrameString.h"
#include "PanelPlacement.h"
#include "Sampler.h"
#include "ScreenCoords.h"
#include "SpeedView.h"
#include "WidgetPanel.h"

#include <QApplication>
#include <QSettings>
#include <QStringList>
#include <QTimer>
#include <optional>
#include <vector>

QByteArray appForcedPlatform(bool waylandDisplaySet, bool displaySet, bool userChosePlatform) {
    if (waylandDisplaySet && displaySet && !userChosePlatform) {
        return QByteArrayLiteral("xcb");
    }
    return {};
}

namespace {

std::optional<QString> storedFrameText() {
    QSettings settings(QString::fromLatin1(frameSettingsOrganization),
                       QString::fromLatin1(frameSettingsApplication));
    const QVariant value = settings.value(QString::fromLatin1(frameSettingsKey));
    if (!value.isValid()) {
        return std::nullopt;
    }
    // A hand-edited file without quotes reads back as a list split at the commas.
    if (value.userType() == QMetaType::QStringList) {
        return value.toStringList().join(QStringLiteral(", "));
    }
    return value.toString();
}

} // namespace

int appRun(int argc, char** argv) {
    const QByteArray forced = appForcedPlatform(qEnvironmentVariableIsSet("WAYLAND_DISPLAY"),
                                                qEnvironmentVariableIsSet("DISPLAY"),
                                                qEnvironmentVariableIsSet("QT_QPA_PLATFORM"));
    if (!forced.isEmpty()) {
        qputenv("QT_QPA_PLATFORM", forced);
    }

    QApplication app(argc, argv);
    QApplication::setOrganizationName(QString::fromLatin1(frameSettingsOrganization));
    QApplication::setApplicationName(QString::fromLatin1(frameSettingsApplication));
    // Closing some other window (the history) must never end the widget.
    QApplication::setQuitOnLastWindowClosed(false);

    std::vector<QRectF> visibleFrames;
    for (const ScreenFrames& screen : scrAllScreens()) {
        visibleFrames.push_back(screen.visibleFrame);
    }
    const QRectF frame = placePanelFrame(storedFrameText(), scrMainVisibleFrame(), visibleFrames);

    WidgetPanel panel(frame);
    SpeedView* view = panel.view();

    // The first reading is the baseline the first tick measures from.
    Sampler sampler;
    sampler.start();

    QTimer timer;
    timer.setInterval(1000);
    QObject::connect(&timer, &QTimer::timeout, view, [view, &sampler] {
        sampler.tick(*view);
        view->update();
    });
    timer.start();

    panel.present();
    return app.exec();
}
