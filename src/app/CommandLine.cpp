#include "CommandLine.h"

#include "Translations.h"

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

QString fromLocal(const QByteArray& value) {
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
    // Two lines, so that it fits a terminal of 80 columns.
    return QStringLiteral(
        "usage: quillfern [--report [--days N | --months N] [--apps] [--json]]\n"
        "       [--export-json [FILE] | --import-json FILE] [--help] [--version]");
}

QString cliHelpText() {
    return cliUsageText() + QStringLiteral("\n\n") +
           i18n::translate("CommandLine",
                           "不带选项时显示浮动的网速卡片。\n"
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
                           "卡片需要显示器：X 服务器（DISPLAY），或装有 Qt Wayland 插件的\n"
                           "Wayland 合成器（WAYLAND_DISPLAY）。Qt 自己的选项，如 -platform\n"
                           "和 -display，会原样传给 Qt。\n");
}

QString cliVersionText() {
    return QStringLiteral("quillfern %1\n").arg(QStringLiteral(QUILLFERN_VERSION));
}

DisplayChoice dispChoose(const DisplaySetting& s, const DisplayProbes& probes) {
    const QString how = i18n::translate(
        "CommandLine", "在图形会话中运行，或把 DISPLAY 设为正在运行的 X 服务器（如 DISPLAY=:0）");
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
                              ? i18n::translate("CommandLine", "X 服务器，但 DISPLAY 未设置")
                              : i18n::translate("CommandLine", "X 服务器 DISPLAY=%1，但它没有应答")
                                    .arg(fromLocal(s.display)));
            } else if (name.startsWith("wayland")) {
                if (!probes.waylandAnswers()) {
                    needs << i18n::translate("CommandLine", "Wayland 合成器，但没有合成器应答");
                } else if (!probes.waylandPluginPresent()) {
                    needs << i18n::translate("CommandLine", "Qt 的 Wayland 插件，但它没有安装");
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
                i18n::translate("CommandLine",
                                "没有显示器：所选平台“%1”需要%2；请取消设置 QT_QPA_PLATFORM，或%3")
                    .arg(fromLocal(s.platform), needs.join(i18n::translate("CommandLine", "；或")),
                         how)};
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
                i18n::translate(
                    "CommandLine",
                    "没有可用的显示器：Wayland 合成器 WAYLAND_DISPLAY=%1 有应答，但 Qt 的 "
                    "Wayland 插件没有安装%2；请安装它（qt6-wayland），或把 DISPLAY 设为本会话"
                    "的 X 服务器（XWayland）")
                    .arg(fromLocal(s.waylandDisplay),
                         hasX ? i18n::translate("CommandLine", "，X 服务器 DISPLAY=%1 也没有应答")
                                    .arg(fromLocal(s.display))
                              : QString())};
    }
    QString what;
    if (hasX && hasWayland) {
        what =
            i18n::translate("CommandLine",
                            "X 服务器 DISPLAY=%1 和 Wayland 合成器 WAYLAND_DISPLAY=%2 都没有应答")
                .arg(fromLocal(s.display), fromLocal(s.waylandDisplay));
    } else if (hasX) {
        what = i18n::translate("CommandLine", "X 服务器 DISPLAY=%1 没有应答")
                   .arg(fromLocal(s.display));
    } else if (hasWayland) {
        what = i18n::translate("CommandLine",
                               "Wayland 合成器 WAYLAND_DISPLAY=%1 没有应答，DISPLAY 也未设置")
                   .arg(fromLocal(s.waylandDisplay));
    } else {
        what = i18n::translate("CommandLine", "DISPLAY 和 WAYLAND_DISPLAY 都未设置");
    }
    return {{}, i18n::translate("CommandLine", "没有显示器：%1；请%2").arg(what, how)};
}
