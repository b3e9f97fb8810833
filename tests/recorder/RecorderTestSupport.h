#pragma once

#include "TrafficRecorder.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <memory>
#include <optional>

// A good run of the tool in which each application is one process, identified by its name.
inline std::optional<ProcessSample> runOf(const AppSample& apps) {
    ProcessSample run;
    for (const auto& [name, counters] : apps)
        run.push_back({name, counters, name});
    return run;
}

inline bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}
inline QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A recorder on a store in a fresh temporary directory; the user's real files are never seen.
struct TempStore {
    QTemporaryDir dir;
    QString file(const QString& name) const { return dir.filePath("Quillfern/" + name); }
    QString path() const { return file(QStringLiteral("traffic.db")); }

    std::unique_ptr<TrafficRecorder> open() const {
        TrafficRecorder::Config config;
        config.dataPath = path();
        return std::make_unique<TrafficRecorder>(config);
    }

    // Leaves a traffic file in the former JSON format for the next open() to move in.
    bool write(const QByteArray& bytes) const {
        QDir().mkpath(file({}));
        return writeFile(file(QStringLiteral("traffic.json")), bytes);
    }
    QStringList filesLike(const QString& pattern) const {
        return QDir(file({})).entryList({pattern},
                                        QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    }
};
