#include "CommandLine.h"

namespace {

// Qt reads its own options with one dash or two.
bool isQtOption(const QString& argument, QLatin1StringView name) {
    QStringView a(argument);
    if (a.startsWith(u"--")) {
        a = a.mid(2);
    } else if (a.startsWith(u'-')) {
        a = a.mid(1);
    } else {
        return false;
    }
    return a == name;
}

const char* const kHowToRun =
    "run it inside a graphical session, or set DISPLAY to a running X server (e.g. DISPLAY=:0)";

QString quoted(const QByteArray& value) {
    return QString::fromLocal8Bit(value);
}

} // namespace

CliRequest cliParse(const QStringList& arguments) {
    CliRequest request;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        if (a == u"--help" || a == u"-h") {
            request.mode = CliMode::Help;
            return request;
        }
        if (a == u"--version") {
            request.mode = CliMode::Version;
            return request;
        }
        const bool hasValue = i + 1 < arguments.size();
        if (hasValue && isQtOption(a, QLatin1StringView("platform"))) {
            request.platform = arguments[++i].toLocal8Bit();
        } else if (hasValue && isQtOption(a, QLatin1StringView("display"))) {
            request.display = arguments[++i].toLocal8Bit();
        }
    }
    return request;
}

QString cliHelpText() {
    return QStringLiteral(
        "Usage: quillfern [--help] [--version]\n"
        "\n"
        "Shows the network throughput in a small card that floats above other windows, and\n"
        "records the bytes moved each day and by each application. Right-click the card for\n"
        "its menu. A second start opens the running one's traffic history.\n"
        "\n"
        "  -h, --help     show this text and leave\n"
        "  --version      show the version and leave\n"
        "\n"
        "The card needs a display: an X server (DISPLAY), or a Wayland compositor\n"
        "(WAYLAND_DISPLAY) with Qt's Wayland plugin. Qt's own options, such as\n"
        "-platform and -display, are passed on.\n");
}

QString cliVersionText() {
    return QStringLiteral("quillfern %1\n").arg(QStringLiteral(QUILLFERN_VERSION));
}

DisplayChoice dispChoose(const DisplaySetting& s, const DisplayProbes& probes) {
    const QString how = QString::fromLatin1(kHowToRun);
    if (!s.platform.isEmpty()) {
        // Qt tries each entry of a list in turn ("wayland;xcb"); options follow a colon.
        QStringList needs;
        for (const QByteArray& entry : s.platform.split(';')) {
            const QByteArray name = entry.split(':').first().trimmed();
            if (name.isEmpty()) {
                continue;
            }
            if (name == "xcb") {
                if (probes.x11Answers()) {
                    return {};
                }
                needs << (s.display.isEmpty()
                              ? QStringLiteral("an X server, but DISPLAY is not set")
                              : QStringLiteral("the X server DISPLAY=%1, which does not answer")
                                    .arg(quoted(s.display)));
            } else if (name.startsWith("wayland")) {
                if (!probes.waylandAnswers()) {
                    needs << QStringLiteral("a Wayland compositor, and none answers");
                } else if (!probes.waylandPluginPresent()) {
                    needs << QStringLiteral("Qt's Wayland plugin, which is not installed");
                } else {
                    return {};
                }
            } else {
                return {}; // offscreen, vnc, eglfs...: not ours to judge
            }
        }
        if (needs.isEmpty()) {
            return {};
        }
        return {{},
                QStringLiteral("no display: the chosen platform \"%1\" needs %2; unset "
                               "QT_QPA_PLATFORM or %3")
                    .arg(quoted(s.platform), needs.join(QStringLiteral("; or ")), how)};
    }

    const bool hasX = !s.display.isEmpty();
    const bool hasWayland = !s.waylandDisplay.isEmpty();
    if (hasX && probes.x11Answers()) {
        return {QByteArrayLiteral("xcb"), {}};
    }
    if (hasWayland && probes.waylandAnswers()) {
        if (probes.waylandPluginPresent()) {
            return {QByteArrayLiteral("wayland"), {}};
        }
        return {{},
                QStringLiteral("no usable display: the Wayland compositor WAYLAND_DISPLAY=%1 "
                               "answers, but Qt's Wayland plugin is not installed%2; install "
                               "it (qt6-wayland) or set DISPLAY to the session's X server "
                               "(XWayland)")
                    .arg(quoted(s.waylandDisplay),
                         hasX ? QStringLiteral(" and the X server DISPLAY=%1 does not answer")
                                    .arg(quoted(s.display))
                              : QString())};
    }
    QString what;
    if (hasX && hasWayland) {
        what = QStringLiteral("neither the X server DISPLAY=%1 nor the Wayland compositor "
                              "WAYLAND_DISPLAY=%2 answers")
                   .arg(quoted(s.display), quoted(s.waylandDisplay));
    } else if (hasX) {
        what = QStringLiteral("the X server DISPLAY=%1 does not answer").arg(quoted(s.display));
    } else if (hasWayland) {
        what = QStringLiteral("the Wayland compositor WAYLAND_DISPLAY=%1 does not answer and "
                              "DISPLAY is not set")
                   .arg(quoted(s.waylandDisplay));
    } else {
        what = QStringLiteral("neither DISPLAY nor WAYLAND_DISPLAY is set");
    }
    return {{}, QStringLiteral("no display: %1; %2").arg(what, how)};
}
