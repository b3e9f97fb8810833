#pragma once

#include <QIODevice>
#include <QString>

// The command-line modes that move the traffic history in and out as JSON:
//   quillfern --export-json [FILE]   the whole history to FILE, or to standard output
//   quillfern --import-json FILE     merges FILE into the history (per figure, the larger)
// They need no display and work beside a running widget. Each returns the exit status.
int jsonExportRun(const QString& file);
int jsonImportRun(const QString& file);

// What they do, on the store at `dbPath`. The export writes, where there is no store yet, the
// traffic file waiting beside it to be moved in (or an empty object). The import creates the
// store when there is none; `error` says in a sentence why either failed.
bool jsonExport(const QString& dbPath, QIODevice& out, QString* error);
bool jsonImport(const QString& dbPath, const QString& file, QString* error, int* days);
