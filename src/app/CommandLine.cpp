#include "CommandLine.h"

#include <QCoreApplication>

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

QString cliUsageText() {
    return QStringLiteral("usage: quillfern [--report [--days N | --months N] [--apps] [--json]] "
                          "[--export-json [FILE] | --import-json FILE] [--help] [--version]");
}

QString cliHelpText() {
    return cliUsageText() + QStringLiteral("\n\n") +
           QCoreApplication::translate(
               "CommandLine", "不带选项时显示浮动的网速卡片。\n"
                              "\n"
                              "  --report       打印今日流量和最近几天的合计，然后退出\n"
                              "  --days N       最近 N 天（默认 7 天）\n"
                              "  --months N     改为最近 N 个自然月\n"
                              "  --apps         同时列出流量最多的应用\n"
                              "  --json         输出 JSON 而不是表格\n"
                              "  --export-json [FILE]  把全部流量历史写到 FILE 或标准输出\n"
                              "  --import-json FILE    把 FILE 合并进流量历史\n"
                              "  --help         显示本说明\n"
                              "  --version      显示版本\n"
                              "\n"
                              "卡片需要显示器：X 服务器（DISPLAY），或装有 Qt Wayland "
                              "插件的 Wayland 合成器（WAYLAND_DISPLAY）。Qt 自己的选项，"
                              "如 -platform 和 -display，会原样传给 Qt。\n");
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
