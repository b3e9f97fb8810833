#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// What the command line asks for, read once before any application object exists, so that
// the modes that need no display run without one.
struct CommandLine {
    enum class Mode { Widget, Report, Export, Import, Help, Version, Error };
    Mode mode = Mode::Widget;

    // Report: the last `count` days, or months when `months` is set; top applications too;
    // JSON instead of a table.
    int count = 7;
    bool months = false;
    bool apps = false;
    bool json = false;

    // Export: the file to write, or empty for standard output. Import: the file to read.
    QString file;

    // Widget: Qt's own -platform and -display, when given. They decide which display the
    // widget needs, so the display check must see them too.
    QByteArray platform;
    QByteArray display;

    // Error: what was wrong, said before the usage line; empty when the usage says it all.
    QString error;
};

// Pure: the arguments after the program's name, read strictly. An argument that is neither
// ours nor one of Qt's own is an error; Qt's own pass through to the widget.
CommandLine cliParse(const QStringList& arguments);

// The usage line (also said after a bad argument) and the full help, in the user's language
// once a translation is installed.
QString cliUsageText();
QString cliHelpText();
QString cliVersionText();
