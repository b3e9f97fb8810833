#include "CommandLine.h"

#include "Translations.h"

#include <QSet>

namespace {

using Mode = CommandLine::Mode;

// Options QGuiApplication takes for itself, with one dash or two; the ones with a value take
// the next argument.
const QSet<QString>& qtFlagOptions() {
    static const QSet<QString> s = {"reverse", "nograb", "dograb", "sync"};
    return s;
}
const QSet<QString>& qtValueOptions() {
    static const QSet<QString> s = {
        "platform",      "platformpluginpath", "platformtheme", "plugin",          "display",
        "style",         "stylesheet",         "geometry",      "qwindowgeometry", "title",
        "qwindowtitle",  "qwindowicon",        "name",          "session",         "fontengine",
        "qmljsdebugger", "widgetcount"};
    return s;
}

// The option's name as Qt reads it ("-platform" and "--platform" alike), or empty.
QString qtName(const QString& argument) {
    if (argument.startsWith(QLatin1String("--")))
        return argument.mid(2);
    return argument.startsWith(QLatin1Char('-')) ? argument.mid(1) : QString();
}

bool isOurs(const QString& a) {
    static const QSet<QString> s = {"--help",        "-h",           "--version", "--report",
                                    "--days",        "--months",     "--apps",    "--json",
                                    "--export-json", "--import-json"};
    return s.contains(a) || qtFlagOptions().contains(qtName(a)) ||
           qtValueOptions().contains(qtName(a));
}

bool positiveInt(const QString& text, int& out) {
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < 1 || v > 100000)
        return false;
    out = v;
    return true;
}

CommandLine only(Mode mode, const QString& error = {}) {
    CommandLine c;
    c.mode = mode;
    c.error = error;
    return c;
}

} // namespace

CommandLine cliParse(const QStringList& args) {
    CommandLine c;
    bool sawDays = false;
    bool sawMonths = false;
    bool reportOnly = false; // an option that means nothing without --report
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        const bool hasNext = i + 1 < args.size();
        const QString qt = qtName(a);
        if (a == QLatin1String("--help") || a == QLatin1String("-h"))
            return only(Mode::Help);
        if (a == QLatin1String("--version"))
            return only(Mode::Version);
        if (a == QLatin1String("--report") || a == QLatin1String("--export-json") ||
            a == QLatin1String("--import-json")) {
            const Mode mode = a == QLatin1String("--report")        ? Mode::Report
                              : a == QLatin1String("--export-json") ? Mode::Export
                                                                    : Mode::Import;
            // One command at a time; the usage line shows which go together.
            if (c.mode != Mode::Widget && (c.mode != mode || mode != Mode::Report))
                return only(Mode::Error);
            c.mode = mode;
            if (mode == Mode::Import) {
                if (!hasNext)
                    return only(Mode::Error);
                c.file = args[++i];
            } else if (mode == Mode::Export && hasNext && !isOurs(args[i + 1])) {
                c.file = args[++i];
            }
        } else if (a == QLatin1String("--days") || a == QLatin1String("--months")) {
            const bool months = a == QLatin1String("--months");
            if (!hasNext || !positiveInt(args[++i], c.count)) {
                return only(
                    Mode::Error,
                    i18n::translate("CommandLine", "%1 需要 1 到 100000 之间的整数").arg(a));
            }
            (months ? sawMonths : sawDays) = true;
            c.months = months;
            reportOnly = true;
        } else if (a == QLatin1String("--apps")) {
            c.apps = true;
            reportOnly = true;
        } else if (a == QLatin1String("--json")) {
            c.json = true;
            reportOnly = true;
        } else if (qtFlagOptions().contains(qt)) {
            continue;
        } else if (qtValueOptions().contains(qt) && hasNext) {
            const QByteArray value = args[++i].toLocal8Bit();
            if (qt == QLatin1String("platform"))
                c.platform = value;
            else if (qt == QLatin1String("display"))
                c.display = value;
        } else {
            return only(Mode::Error, i18n::translate("CommandLine", "无法识别的参数：%1").arg(a));
        }
    }
    if (sawDays && sawMonths)
        return only(Mode::Error, i18n::translate("CommandLine", "--days 和 --months 不能同时使用"));
    if (reportOnly && c.mode != Mode::Report) {
        return only(Mode::Error,
                    i18n::translate("CommandLine",
                                    "--days、--months、--apps 和 --json 只能与 --report 一起使用"));
    }
    return c;
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
