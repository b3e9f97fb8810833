#include "Startup.h"

#include "AllowanceDialog.h"
#include "AllowanceWatcher.h"
#include "AppSettings.h"
#include "Autostart.h"
#include "CommandLine.h"
#include "DesktopNotification.h"
#include "DisplayChoice.h"
#include "FrameString.h"
#include "InterfaceMenu.h"
#include "Logging.h"
#include "PanelPlacement.h"
#include "QuitSignals.h"
#include "Sampler.h"
#include "ScreenCoords.h"
#include "SingleInstance.h"
#include "SpeedView.h"
#include "StateReporter.h"
#include "TrafficHistoryWindow.h"
#include "TrafficRecorder.h"
#include "Translations.h"
#include "WidgetPanel.h"

#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

namespace {

std::optional<QString> storedFrameText() {
    const QVariant value = AppSettings().value(QString::fromLatin1(settingsKeys::frame));
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

int appRun([[maybe_unused]] const CommandLine& command, int argc, char** argv) {
#ifndef Q_OS_MACOS
    // The window server of a macOS session needs no asking; elsewhere Qt aborts when it cannot
    // reach the display it picked, so say what is missing instead.
    const DisplayChoice display = dispChooseForSession(command.platform, command.display);
    if (!display.problem.isEmpty()) {
        std::fprintf(stderr, "quillfern: %s\n", display.problem.toLocal8Bit().constData());
        return 1;
    }
    if (!display.platform.isEmpty()) {
        qputenv("QT_QPA_PLATFORM", display.platform);
    }
#endif
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QString::fromLatin1(settingsKeys::organization));
    QApplication::setApplicationName(QString::fromLatin1(settingsKeys::application));
    i18n::install();
    // Closing some other window (the history) must never end the widget.
    QApplication::setQuitOnLastWindowClosed(false);

    // Two instances would each overwrite the other's traffic history: a later launch asks
    // the running one to show its history and leaves. The lock and the socket live only
    // where no other user can plant their own; without such a place the guard is skipped
    // rather than trusted to a shared directory.
    std::unique_ptr<SingleInstance> instance;
    if (const std::optional<QString> dir = SingleInstance::defaultDirectory()) {
        instance = std::make_unique<SingleInstance>(SingleInstance::defaultKey(), *dir);
        if (!instance->becomePrimary()) {
            if (instance->sendToPrimary(appShowHistoryMessage)) {
                qCInfo(lcInstance) << "already running; asked it to show the traffic history";
                return 0;
            }
            qCCritical(lcInstance).noquote()
                << "another instance holds the lock in" << *dir << "but does not answer";
            return 1;
        }
    } else {
        qCWarning(lcInstance) << "no private directory for the one-instance lock "
                                 "(XDG_RUNTIME_DIR is not a 0700 directory of this user's, and "
                                 "the cache directory cannot be made one); running without it, "
                                 "so a second start is not noticed";
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
    RecorderHistorySource historySource(recorder);

    // One history window for the life of the program, built when first asked for.
    std::unique_ptr<TrafficHistoryWindow> history;
    const auto openHistory = [&history, &historySource] {
        if (!history) {
            history = std::make_unique<TrafficHistoryWindow>(historySource);
        }
        history->present();
    };
    view->setHistoryItemShown(true);
    view->setAllowanceItemShown(true);
    view->setLoginItemState([] { return autostart::isEnabled(); });
    QObject::connect(view, &SpeedView::historyRequested, &app, openHistory);

    // The monthly allowance: its dialog from the menu and a watcher that announces 80 % and
    // 100 % of it on the desktop.
    AllowanceWatcher allowanceWatcher(historySource, &desktopnotify::send);
    QObject::connect(view, &SpeedView::allowanceRequested, &app, [&history, &allowanceWatcher] {
        AppSettings settings;
        AllowanceDialog dialog(allowanceLoad(settings));
        if (dialog.exec() != QDialog::Accepted) {
            return;
        }
        allowanceSave(settings, dialog.settings());
        settings.sync();
        if (history && history->isVisible()) {
            history->refresh();
        }
        allowanceWatcher.checkNow();
    });
    allowanceWatcher.start(60 * 1000);
    QObject::connect(view, &SpeedView::loginItemToggled, &app, [](bool on) {
        autostart::setEnabled(on, QCoreApplication::applicationFilePath());
    });
    QObject::connect(view, &SpeedView::quitRequested, &app, &QCoreApplication::quit);
    if (instance) {
        QObject::connect(instance.get(), &SingleInstance::messageReceived, &app,
                         [openHistory](const QByteArray& message) {
                             if (message == appShowHistoryMessage) {
                                 openHistory();
                             }
                         });
    }

    // The statistics live here; the view shows a copy after each change.
    SpeedStats stats;
    QObject::connect(view, &SpeedView::resetRequested, view, [view, &stats] {
        stats.reset();
        view->setStats(stats);
    });

    // Which links count: stored, changeable from the menu, applied from the next tick on.
    // The counter grows only by what counted links moved, so a change never makes a jump.
    LinkCounter& links = netSharedCounter();
    links.setChoice(loadInterfaceChoice());
    view->addInterfaceMenu = [&links](QMenu& menu) {
        addInterfaceSubmenu(menu, links.choice(), links.lastLinks(),
                            [&links](const InterfaceChoice& choice) {
                                links.setChoice(choice);
                                storeInterfaceChoice(choice);
                            });
    };

    // The first reading is the baseline the first tick measures from.
    Sampler sampler;
    sampler.start();

    StateReporter counterState(lcCounters(), QStringLiteral("the interface counters read again"));
    QTimer timer;
    timer.setInterval(1000);
    QObject::connect(
        &timer, &QTimer::timeout, view, [view, &stats, &sampler, &recorder, &counterState] {
            const TickResult tick = sampler.tick(stats);
            counterState.report(tick.readFailed
                                    ? QStringLiteral("cannot read the network interface counters; "
                                                     "the card shows 0 until they can be read")
                                    : QString());
            // The day totals get exactly what the widget's totals got; a failed read gives
            // nothing rather than zeros that would mean nothing happened.
            if (!tick.readFailed) {
                recorder.recordTotal(tick.bytes);
            }
            view->setStats(stats);
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
