#include "JsonCommands.h"

#include "CommandLine.h"
#include "TrafficDb.h"
#include "TrafficRecorder.h"
#include "Translations.h"

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

// The store words its own failures; they are framed in the user's language.
int exportFailed(const QString& why) {
    return fail(i18n::translate("JsonCommands", "导出失败：%1").arg(why));
}

int exportTo(const QString& file) {
    QString error;
    const QString noStdout = i18n::translate("JsonCommands", "无法写入标准输出");
    if (file.isEmpty()) {
        QFile out;
        if (!out.open(stdout, QIODevice::WriteOnly))
            return fail(noStdout);
        if (!trafficExportJson(storePath(), out, &error))
            return error.isEmpty() ? fail(noStdout) : exportFailed(error);
        return out.flush() ? 0 : fail(noStdout);
    }
    // The export names the user's programs: as private as the history itself, and never
    // half-written.
    QSaveFile out(file);
    const auto cannotWrite = [&out, &file] {
        return fail(
            i18n::translate("JsonCommands", "无法写入 %1：%2").arg(file, out.errorString()));
    };
    if (!out.open(QIODevice::WriteOnly))
        return cannotWrite();
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (!trafficExportJson(storePath(), out, &error)) {
        out.cancelWriting();
        return error.isEmpty() ? cannotWrite() : exportFailed(error);
    }
    return out.commit() ? 0 : cannotWrite();
}

int importFrom(const QString& file) {
    QString error;
    int days = 0;
    if (!trafficImportJson(storePath(), file, &error, &days))
        return fail(i18n::translate("JsonCommands", "导入失败：%1").arg(error));
    std::fprintf(
        stderr, "quillfern: %s\n",
        qUtf8Printable(
            i18n::translate("JsonCommands", "已从 %1 合并 %n 天的流量", nullptr, days).arg(file)));
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
    i18n::install();
    if (mode == "--export-json") {
        if (argc > 3)
            return usage();
        return exportTo(argc == 3 ? QFile::decodeName(argv[2]) : QString());
    }
    if (argc != 3)
        return usage();
    return importFrom(QFile::decodeName(argv[2]));
}
