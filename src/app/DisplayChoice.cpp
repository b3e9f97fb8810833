#include "DisplayChoice.h"

#include "DisplayProbe.h"
#include "Translations.h"

#include <QDir>
#include <QLibraryInfo>
#include <QStringList>

namespace {

// The environment's bytes as the user typed them, for the message.
QString fromLocal(const QByteArray& value) {
    return QString::fromLocal8Bit(value);
}

} // namespace

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

namespace {

// Whether Qt can load its Wayland platform plugin: looked for where Qt will look.
bool waylandPluginPresent() {
    QStringList dirs{QLibraryInfo::path(QLibraryInfo::PluginsPath)};
    const QString extra = qEnvironmentVariable("QT_PLUGIN_PATH");
    if (!extra.isEmpty())
        dirs += extra.split(QDir::listSeparator(), Qt::SkipEmptyParts);
    for (const QString& dir : dirs) {
        if (!QDir(dir + QStringLiteral("/platforms"))
                 .entryList({QStringLiteral("*qwayland*")}, QDir::Files)
                 .isEmpty())
            return true;
    }
    return false;
}

} // namespace

DisplayChoice dispChooseForSession(const QByteArray& platform, const QByteArray& display) {
    DisplaySetting setting;
    setting.display = display.isEmpty() ? qgetenv("DISPLAY") : display;
    setting.waylandDisplay = qgetenv("WAYLAND_DISPLAY");
    setting.platform = platform.isEmpty() ? qgetenv("QT_QPA_PLATFORM") : platform;
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
