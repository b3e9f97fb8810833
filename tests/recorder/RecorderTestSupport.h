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

// A recorder on a store in a fresh temporary directory; the user's real files are never seen.
struct TempStore {
    QTemporaryDir dir;
    QString path() const { return dir.filePath(QStringLiteral("Quillfern/traffic.db")); }
    // The former JSON traffic file, moved into the store when a recorder opens it.
    QString jsonPath() const { return dir.filePath(QStringLiteral("Quillfern/traffic.json")); }

    std::unique_ptr<TrafficRecorder> open(bool load = true) const {
        TrafficRecorder::Config config;
        config.dataPath = path();
        config.load = load;
        config.toolPath = dir.filePath(QStringLiteral("no-such-tool"));
        return std::make_unique<TrafficRecorder>(config);
    }

    // Leaves a traffic file in the former format for the next open() to move in.
    void write(const QByteArray& bytes) const {
        QDir().mkpath(dir.filePath(QStringLiteral("Quillfern")));
        QFile file(jsonPath());
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(bytes);
    }
};
