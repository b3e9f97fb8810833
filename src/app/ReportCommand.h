#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// The report and the rest of what the command line may ask, read strictly: an argument
// that is neither ours nor Qt's is an error (status 2). Everything but Widget runs
// without a display and ends the process.
struct ReportCommand {
    enum class Mode { Widget, Help, Version, Report, Error };
    Mode mode = Mode::Widget;
    // Report: the last `count` days, or months when `months` is set; top applications too;
    // JSON instead of a table.
    int count = 7;
    bool months = false;
    bool apps = false;
    bool json = false;
    QString error; // Error: what was wrong, for the message before the usage line
};

// Pure: the arguments after the program's name. Qt's own window options (-platform and
// the like) belong to the widget and pass through.
ReportCommand cmdParse(const QStringList& args);

// Runs a command-line mode and returns its exit status; nothing for the widget.
std::optional<int> cmdRun(int argc, char** argv);
