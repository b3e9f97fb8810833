#include "Startup.h"

#include "AllowanceDialog.h"
#include "AllowanceWatcher.h"
#include "Autostart.h"
#include "DesktopNotification.h"
#include "FrameString.h"
#include "PanelPlacement.h"
#include "QuitSignals.h"
#include "Sampler.h"
#include "ScreenCoords.h"
#include "SingleInstance.h"
#include "SpeedView.h"
#include "TrafficHistoryWindow.h"
#include "TrafficRecorder.h"
#include "Translations.h"
#include "WidgetPanel.h"

#include <QApplication>
#include <QSettings>
#include <QStringList>
#include <QTimer>
#include <cstdio>
#include <memory>
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
    i18n::install();
    // Closing some other window (the history) must never end the widget.
    QApplication::setQuitOnLastWindowClosed(false);

    // Two instances would each overwrite the other's traffic history: a later launch asks
    // the running one to show its history and leaves.
    SingleInstance instance(SingleInstance::defaultKey(), SingleInstance::defaultRuntimeDir());
    if (!instance.becomePrimary()) {
        if (instance.sendToPrimary(appShowHistoryMessage)) {
            return 0;
        }
        std::fprintf(stderr, "quillfern: another instance holds the lock but does not answer\n");
        return 1;
    }
    // Logout, shutdown and Ctrl-C take the same road as the Quit item.
    installQuitSignalHandlers(&app);

    std::vector<QRectF> visibleFrames;
    for (const ScreenFrames& screen : scrAllScreens()) {
        visibleFrames.push_back(screen.visibleFrame);
    }
    const QRectF frame = placePanelFrame(storedFrameText(), scrMainVisibleFrame(), visibleFrames);

    WidgetPanel panel(frame);
    SpeedView* view = panel.view();
    TrafficRecorder& recorder = TrafficRecorder::shared();

    // One history window for the life of the program, built when first asked for.
    std::unique_ptr<TrafficHistoryWindow> history;
    const auto openHistory = [&history, &recorder] {
        if (history) {
            history->show();
        } else {
            history = std::make_unique<TrafficHistoryWindow>(recorder);
        }
    };
    view->openHistory = openHistory;

    // The monthly allowance: its dialog from the menu and a watcher that announces 80 % and
    // 100 % of it on the desktop.
    RecorderHistorySource historySource(recorder);
    AllowanceWatcher allowanceWatcher(historySource, &desktopnotify::send);
    view->openAllowance = [&history, &allowanceWatcher] {
        QSettings settings(QString::fromLatin1(frameSettingsOrganization),
                           QString::fromLatin1(frameSettingsApplication));
        AllowanceDialog dialog(allowanceLoad(settings));
        if (dialog.exec() != QDialog::Accepted) {
            return;
        }
        allowanceSave(settings, dialog.settings());
        settings.sync();
        if (history && history->window()->isVisible()) {
            history->refresh();
        }
        allowanceWatcher.checkNow();
    };
    allowanceWatcher.start(60 * 1000);
    view->isAutostartEnabled = [] { return autostart::isEnabled(); };
    view->setAutostartEnabled = [](bool on) {
        autostart::setEnabled(on, QCoreApplication::applicationFilePath());
    };
    QObject::connect(&instance, &SingleInstance::messageReceived, &app,
                     [openHistory](const QByteArray& message) {
                         if (message == appShowHistoryMessage) {
                             openHistory();
                         }
                     });

    // The first reading is the baseline the first tick measures from.
    Sampler sampler;
    sampler.start();

    QTimer timer;
    timer.setInterval(1000);
    QObject::connect(&timer, &QTimer::timeout, view, [view, &sampler, &recorder] {
        const TickResult tick = sampler.tick(*view);
        // The day totals get exactly what the widget's totals got; a failed read gives
        // nothing rather than zeros that would mean nothing happened.
        if (!tick.readFailed) {
            recorder.recordTotal(tick.sent, tick.received);
        }
        view->update();
    });
    timer.start();

    panel.present();
    recorder.startTimers();
    // The recorder is never destroyed; this is its last save, whatever ended the loop.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &recorder,
                     [&recorder] { recorder.stopAndSave(); });
    const int status = QApplication::exec();
    timer.stop();
    return status;
}
