#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// What the program was asked to do from the command line. Everything but Widget runs
// without a display and ends the process.
struct CommandLine {
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
CommandLine cmdParse(const QStringList& args);

// The one-line usage and the full help text.
QString cmdUsage();
QString cmdHelp();

// Runs a command-line mode and returns its exit status; nothing for the widget.
std::optional<int> cmdRun(int argc, char** argv);
