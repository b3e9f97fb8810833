#include "CommandLine.h"
#include "JsonCommands.h"
#include "ReportCommand.h"
#include "Startup.h"
#include "Translations.h"

#include <cstdio>

int main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    // What is said before any application object exists is said in the user's language too.
    i18n::install();
    const CommandLine command = cliParse(arguments);
    // Only the widget needs a display.
    switch (command.mode) {
    case CommandLine::Mode::Widget:
        break;
    case CommandLine::Mode::Help:
        std::fputs(cliHelpText().toLocal8Bit().constData(), stdout);
        return 0;
    case CommandLine::Mode::Version:
        std::fputs(cliVersionText().toLocal8Bit().constData(), stdout);
        return 0;
    case CommandLine::Mode::Error:
        if (!command.error.isEmpty())
            std::fprintf(stderr, "quillfern: %s\n", command.error.toLocal8Bit().constData());
        std::fprintf(stderr, "%s\n", cliUsageText().toLocal8Bit().constData());
        return 2;
    case CommandLine::Mode::Report:
        return reportRun(command, argc, argv);
    case CommandLine::Mode::Export:
        return jsonExportRun(command.file);
    case CommandLine::Mode::Import:
        return jsonImportRun(command.file);
    }
    return appRun(command, argc, argv);
}
