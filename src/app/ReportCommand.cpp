#include "ReportCommand.h"

#include "AppEntries.h"
#include "CommandLine.h"
#include "HistorySource.h"
#include "Report.h"
#include "TrafficRecorder.h"
#include "Translations.h"

#include <QCoreApplication>
#include <cstdio>

int reportRun(const CommandLine& c, int argc, char** argv) {
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
