#include "JsonCommands.h"

#include "CommandLine.h"
#include "TrafficDb.h"
#include "TrafficRecorder.h"

#include <QFile>
#include <QSaveFile>
#include <QString>
#include <cstdio>

namespace {

int fail(const QString& message) {
    std::fprintf(stderr, "quillfern: %s\n", qUtf8Printable(message));
    return 1;
}

QString storePath() {
    const QString path = TrafficRecorder::defaultDataPath();
    return path.isEmpty() ? TrafficRecorder::defaultConfig().dataPath : path;
}

int exportTo(const QString& file) {
    QString error;
    if (file.isEmpty()) {
        QFile out;
        if (!out.open(stdout, QIODevice::WriteOnly) || !trafficExportJson(storePath(), out, &error))
            return fail(error.isEmpty() ? QStringLiteral("cannot write to standard output")
                                        : error);
        return out.flush() ? 0 : fail(QStringLiteral("cannot write to standard output"));
    }
    // The export names the user's programs: as private as the history itself, and never
    // half-written.
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write %1: %2").arg(file, out.errorString()));
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (!trafficExportJson(storePath(), out, &error)) {
        out.cancelWriting();
        return fail(error);
    }
    return out.commit() ? 0
                        : fail(QStringLiteral("cannot write %1: %2").arg(file, out.errorString()));
}

int importFrom(const QString& file) {
    QString error;
    int days = 0;
    if (!trafficImportJson(storePath(), file, &error, &days))
        return fail(error);
    std::fprintf(stderr, "quillfern: merged %d days from %s\n", days, qUtf8Printable(file));
    return 0;
}

int usage() {
    std::fprintf(stderr, "%s\n", qUtf8Printable(cliUsageText()));
    return 2;
}

} // namespace

std::optional<int> runJsonCommand(int argc, char** argv) {
    if (argc < 2)
        return std::nullopt;
    const QByteArray mode = argv[1];
    if (mode != "--export-json" && mode != "--import-json")
        return std::nullopt;
    if (mode == "--export-json") {
        if (argc > 3)
            return usage();
        return exportTo(argc == 3 ? QFile::decodeName(argv[2]) : QString());
    }
    if (argc != 3)
        return usage();
    return importFrom(QFile::decodeName(argv[2]));
}
