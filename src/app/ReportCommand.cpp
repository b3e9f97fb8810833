#include "ReportCommand.h"

#include "AppEntries.h"
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

ReportCommand failure(const QString& why) {
    ReportCommand c;
    c.mode = ReportCommand::Mode::Error;
    c.error = why;
    return c;
}

} // namespace

ReportCommand cmdParse(const QStringList& args) {
    ReportCommand c;
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
            c.mode = ReportCommand::Mode::Help;
            return c;
        }
        if (a == QLatin1String("--version")) {
            c.mode = ReportCommand::Mode::Version;
            return c;
        }
        if (a == QLatin1String("--report")) {
            c.mode = ReportCommand::Mode::Report;
        } else if (a == QLatin1String("--days") || a == QLatin1String("--months")) {
            const bool months = a == QLatin1String("--months");
            QString v;
            if (!value(v) || !positiveInt(v, c.count)) {
                return failure(
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
            return failure(i18n::translate("CommandLine", "无法识别的参数：%1").arg(a));
        }
    }
    if (sawDays && sawMonths) {
        return failure(i18n::translate("CommandLine", "--days 和 --months 不能同时使用"));
    }
    if (reportOnly && c.mode != ReportCommand::Mode::Report) {
        return failure(i18n::translate(
            "CommandLine", "--days、--months、--apps 和 --json 只能与 --report 一起使用"));
    }
    return c;
}

std::optional<int> cmdRun(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        args << QString::fromLocal8Bit(argv[i]);
    }
    // A bad argument is said in the user's language, before any application object exists.
    i18n::install();
    const ReportCommand c = cmdParse(args);
    switch (c.mode) {
    case ReportCommand::Mode::Widget:
        return std::nullopt;
    case ReportCommand::Mode::Error:
        std::fprintf(stderr, "quillfern: %s\n%s\n", c.error.toLocal8Bit().constData(),
                     qPrintable(cliUsageText()));
        return 2;
    case ReportCommand::Mode::Version:
        std::fputs(qPrintable(cliVersionText()), stdout);
        return 0;
    case ReportCommand::Mode::Help:
    case ReportCommand::Mode::Report:
        break;
    }
    if (c.mode == ReportCommand::Mode::Help) {
        std::fputs(cliHelpText().toLocal8Bit().constData(), stdout);
        return 0;
    }
    // The report's texts and the data directory need an application object; a display not.
    QCoreApplication app(argc, argv);
    i18n::install();
    // Read only: the running widget keeps writing; this never saves.
    TrafficRecorder recorder(TrafficRecorder::defaultConfig());
    const RecorderHistorySource source(recorder);
    ReportData data = reportBuild(source, c.count, c.months, c.apps);
    // The table names applications as the menus do; JSON keeps the IDs they were recorded under.
    if (!c.json) {
        for (AppEntry& a : data.apps)
            a.name = AppEntries::shared(i18n::desktopLocale()).displayName(a.name);
    }
    const QString out = c.json ? reportJson(data) : reportText(data);
    std::fputs(out.toUtf8().constData(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
