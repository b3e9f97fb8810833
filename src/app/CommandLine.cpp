#include "CommandLine.h"

#include "HistorySource.h"
#include "Report.h"
#include "TrafficRecorder.h"
#include "Translations.h"

#include <QCoreApplication>
#include <QSet>
#include <cstdio>

namespace {

// Options QGuiApplication takes for itself; the ones with a value take the next argument.
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

bool positiveInt(const QString& text, int& out) {
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < 1 || v > 100000) {
        return false;
    }
    out = v;
    return true;
}

CommandLine failure(const QString& why) {
    CommandLine c;
    c.mode = CommandLine::Mode::Error;
    c.error = why;
    return c;
}

} // namespace

CommandLine cmdParse(const QStringList& args) {
    CommandLine c;
    bool sawDays = false;
    bool sawMonths = false;
    bool reportOnly = false; // an option that means nothing without --report
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        const auto value = [&](QString& out) {
            if (i + 1 >= args.size()) {
                return false;
            }
            out = args[++i];
            return true;
        };
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            c.mode = CommandLine::Mode::Help;
            return c;
        }
        if (a == QLatin1String("--version")) {
            c.mode = CommandLine::Mode::Version;
            return c;
        }
        if (a == QLatin1String("--report")) {
            c.mode = CommandLine::Mode::Report;
        } else if (a == QLatin1String("--days") || a == QLatin1String("--months")) {
            const bool months = a == QLatin1String("--months");
            QString v;
            if (!value(v) || !positiveInt(v, c.count)) {
                return failure(
                    QCoreApplication::translate("CommandLine", "%1 需要 1 到 100000 之间的整数")
                        .arg(a));
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
        } else {
            QString name = a;
            while (name.startsWith(QLatin1Char('-'))) {
                name.remove(0, 1);
            }
            if (a.startsWith(QLatin1Char('-')) && qtFlagOptions().contains(name)) {
                continue;
            }
            QString ignored;
            if (a.startsWith(QLatin1Char('-')) && qtValueOptions().contains(name) &&
                value(ignored)) {
                continue;
            }
            return failure(QCoreApplication::translate("CommandLine", "无法识别的参数：%1").arg(a));
        }
    }
    if (sawDays && sawMonths) {
        return failure(
            QCoreApplication::translate("CommandLine", "--days 和 --months 不能同时使用"));
    }
    if (reportOnly && c.mode != CommandLine::Mode::Report) {
        return failure(QCoreApplication::translate(
            "CommandLine", "--days、--months、--apps 和 --json 只能与 --report 一起使用"));
    }
    return c;
}

QString cmdUsage() {
    return QStringLiteral(
        "usage: quillfern [--report [--days N | --months N] [--apps] [--json]] [--help] "
        "[--version]");
}

QString cmdHelp() {
    return cmdUsage() + QStringLiteral("\n\n") +
           QCoreApplication::translate("CommandLine",
                                       "不带选项时显示浮动的网速卡片。\n"
                                       "\n"
                                       "  --report       打印今日流量和最近几天的合计，然后退出\n"
                                       "  --days N       最近 N 天（默认 7 天）\n"
                                       "  --months N     改为最近 N 个自然月\n"
                                       "  --apps         同时列出流量最多的应用\n"
                                       "  --json         输出 JSON 而不是表格\n"
                                       "  --help         显示本说明\n"
                                       "  --version      显示版本\n");
}

std::optional<int> cmdRun(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        args << QString::fromLocal8Bit(argv[i]);
    }
    const CommandLine c = cmdParse(args);
    switch (c.mode) {
    case CommandLine::Mode::Widget:
        return std::nullopt;
    case CommandLine::Mode::Error: {
        // Parsed again once the translation is in, so the message is in the user's language.
        QCoreApplication app(argc, argv);
        i18n::install();
        const CommandLine again = cmdParse(args);
        std::fprintf(stderr, "quillfern: %s\n%s\n", again.error.toLocal8Bit().constData(),
                     qPrintable(cmdUsage()));
        return 2;
    }
    case CommandLine::Mode::Version:
        std::printf("quillfern %s\n", QUILLFERN_VERSION);
        return 0;
    case CommandLine::Mode::Help:
    case CommandLine::Mode::Report:
        break;
    }
    // Translations and the data directory need an application object; a display they do not.
    QCoreApplication app(argc, argv);
    i18n::install();
    if (c.mode == CommandLine::Mode::Help) {
        std::fputs(qPrintable(cmdHelp()), stdout);
        return 0;
    }
    // Read only: the running widget keeps writing; this never saves.
    TrafficRecorder recorder(TrafficRecorder::defaultConfig());
    const RecorderHistorySource source(recorder);
    const ReportData data = reportBuild(source, c.count, c.months, c.apps);
    const QString out = c.json ? reportJson(data) : reportText(data);
    std::fputs(out.toUtf8().constData(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
