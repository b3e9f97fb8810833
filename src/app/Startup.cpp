#include "Startup.h"

#include "AllowanceDialog.h"
#include "AllowanceWatcher.h"
#include "AppSettings.h"
#include "Autostart.h"
#include "CommandLine.h"
#include "DesktopNotification.h"
#include "DisplayProbe.h"
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
#include <QDir>
#include <QLibraryInfo>
#include <QStringList>
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

#ifndef Q_OS_MACOS
// The window server of a macOS session needs no asking; elsewhere Qt aborts without a
// display, so the one it would use is asked for first.

// Whether Qt can load its Wayland platform plugin: looked for where Qt will look.
bool waylandPluginPresent() {
    QStringList dirs{QLibraryInfo::path(QLibraryInfo::PluginsPath)};
    const QString extra = qEnvironmentVariable("QT_PLUGIN_PATH");
    if (!extra.isEmpty()) {
        dirs += extra.split(QDir::listSeparator(), Qt::SkipEmptyParts);
    }
    for (const QString& dir : dirs) {
        if (!QDir(dir + QStringLiteral("/platforms"))
                 .entryList({QStringLiteral("*qwayland*")}, QDir::Files)
                 .isEmpty()) {
            return true;
        }
    }
    return false;
}

// The platform to run on, or a line saying why there is none.
DisplayChoice chooseDisplay(const CliRequest& cli) {
    DisplaySetting setting;
    setting.display = cli.display.isEmpty() ? qgetenv("DISPLAY") : cli.display;
    setting.waylandDisplay = qgetenv("WAYLAND_DISPLAY");
    setting.platform = cli.platform.isEmpty() ? qgetenv("QT_QPA_PLATFORM") : cli.platform;
    const QByteArray runtimeDir = qgetenv("XDG_RUNTIME_DIR");
    DisplayProbes probes;
    probes.x11Answers = [&] { return dispX11Answers(setting.display); };
    probes.waylandAnswers = [&] {
        // The client library's own default when the variable is unset.
        const QByteArray name = setting.waylandDisplay.isEmpty() ? QByteArrayLiteral("wayland-0")
                                                                 : setting.waylandDisplay;
        return dispWaylandAnswers(name, runtimeDir);
    };
    probes.waylandPluginPresent = waylandPluginPresent;
    return dispChoose(setting, probes);
}
#endif

int runWidget(int argc, char** argv);

} // namespace

int appRun(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    const CliRequest cli = cliParse(arguments);
    switch (cli.mode) {
    case CliMode::Help:
        std::fputs(cliHelpText().toLocal8Bit().constData(), stdout);
        return 0;
    case CliMode::Version:
        std::fputs(cliVersionText().toLocal8Bit().constData(), stdout);
        return 0;
    case CliMode::Run:
        break;
    }

#ifndef Q_OS_MACOS
    // Qt aborts when it cannot reach the display it picked; say what is missing instead,
    // in the user's language although no application object exists yet.
    i18n::install();
    const DisplayChoice display = chooseDisplay(cli);
    if (!display.problem.isEmpty()) {
        std::fprintf(stderr, "quillfern: %s\n", display.problem.toLocal8Bit().constData());
        return 1;
    }
    if (!display.platform.isEmpty()) {
        qputenv("QT_QPA_PLATFORM", display.platform);
    }
#endif
    return runWidget(argc, argv);
}

namespace {

int runWidget(int argc, char** argv) {
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

    // One history window for the life of the program, built when first asked for.
    std::unique_ptr<TrafficHistoryWindow> history;
    const auto openHistory = [&history, &recorder] {
        if (history) {
            history->show();
        } else {
            history = std::make_unique<TrafficHistoryWindow>(recorder);
        }
    };
    view->setHistoryItemShown(true);
    view->setAllowanceItemShown(true);
    view->setLoginItemState([] { return autostart::isEnabled(); });
    QObject::connect(view, &SpeedView::historyRequested, &app, openHistory);

    // The monthly allowance: its dialog from the menu and a watcher that announces 80 % and
    // 100 % of it on the desktop.
    RecorderHistorySource historySource(recorder);
    AllowanceWatcher allowanceWatcher(historySource, &desktopnotify::send);
    QObject::connect(view, &SpeedView::allowanceRequested, &app, [&history, &allowanceWatcher] {
        AppSettings settings;
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

} // namespace
