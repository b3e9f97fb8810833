#include "JsonCommands.h"

#include "TrafficDb.h"
#include "TrafficRecorder.h"
#include "Translations.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QString>
#include <cstdio>

namespace {

int fail(const QString& message) {
    std::fprintf(stderr, "quillfern: %s\n", qUtf8Printable(message));
    return 1;
}

// The widget's own store; empty when the user has no private place for one, and then there
// is nothing to export and nowhere an import could go.
QString storePath() {
    return TrafficRecorder::defaultConfig().dataPath;
}

int noStore() {
    return fail(i18n::translate("JsonCommands", "没有私有的保存位置：历史无处可存"));
}

// The store words its own failures; they are framed in the user's language.
int exportFailed(const QString& why) {
    return fail(i18n::translate("JsonCommands", "导出失败：%1").arg(why));
}

} // namespace

int jsonExportRun(const QString& file) {
    if (storePath().isEmpty())
        return noStore();
    QString error;
    const QString noStdout = i18n::translate("JsonCommands", "无法写入标准输出");
    if (file.isEmpty()) {
        QFile out;
        if (!out.open(stdout, QIODevice::WriteOnly))
            return fail(noStdout);
        if (!jsonExport(storePath(), out, &error))
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
    if (!jsonExport(storePath(), out, &error)) {
        out.cancelWriting();
        return error.isEmpty() ? cannotWrite() : exportFailed(error);
    }
    return out.commit() ? 0 : cannotWrite();
}

int jsonImportRun(const QString& file) {
    if (storePath().isEmpty())
        return noStore();
    QString error;
    int days = 0;
    if (!jsonImport(storePath(), file, &error, &days))
        return fail(i18n::translate("JsonCommands", "导入失败：%1").arg(error));
    std::fprintf(
        stderr, "quillfern: %s\n",
        qUtf8Printable(
            i18n::translate("JsonCommands", "已从 %1 合并 %n 天的流量", nullptr, days).arg(file)));
    return 0;
}

bool jsonExport(const QString& dbPath, QIODevice& out, QString* error) {
    const QFileInfo info(dbPath);
    if (!info.exists() && !info.isSymLink()) {
        // Nothing moved in yet: the history is still in the old file, or there is none.
        const QString legacy = trafficLegacyJsonPath(dbPath);
        TrafficDays days;
        QFile file(legacy);
        if (file.exists()) {
            if (!file.open(QIODevice::ReadOnly) ||
                trafficFromJson(file.readAll(), days) != TrafficParse::Ok) {
                *error = QStringLiteral("cannot read the traffic history in %1").arg(legacy);
                return false;
            }
        }
        const QByteArray text = trafficToJson(days);
        return out.write(text) == text.size();
    }
    QString why;
    const auto store = TrafficDb::openForReading(dbPath, &why);
    if (!store) {
        *error = why;
        return false;
    }
    if (!store->exportJson(out)) {
        *error = store->database().errorCode() != 0
                     ? QStringLiteral("cannot read %1: %2").arg(dbPath, store->lastError())
                     : QStringLiteral("cannot write the export: %1").arg(out.errorString());
        return false;
    }
    return true;
}

bool jsonImport(const QString& dbPath, const QString& file, QString* error, int* days) {
    // Opened once the file has parsed, so that a file that is no history creates nothing.
    std::unique_ptr<TrafficDb> store;
    const auto open = [&store, &dbPath, error] {
        if (!store) {
            TrafficDb::OpenOptions options;
            options.legacyJson = trafficLegacyJsonPath(dbPath);
            store = TrafficDb::openForWriting(dbPath, options, error);
        }
        return store != nullptr;
    };
    using Result = JsonFileMerge::Result;
    const JsonFileMerge merged = trafficMergeJsonFile(
        file, [&store, &open](const TrafficDays& batch) { return open() && store->merge(batch); });
    switch (merged.result) {
    case Result::Unreadable:
        *error = QStringLiteral("cannot read %1: %2").arg(file, merged.readError);
        return false;
    case Result::Empty:
    case Result::NotTraffic:
        *error = QStringLiteral("%1 is not a traffic history in JSON (an object keyed by day)")
                     .arg(file);
        return false;
    case Result::WriteFailed:
        if (store)
            *error = QStringLiteral("cannot write %1: %2").arg(dbPath, store->lastError());
        return false;
    case Result::Merged:
        break;
    }
    *days = merged.days;
    return open(); // an empty history is merged too: into a store made for it
}
