#pragma once

#include "TrafficRecorder.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <memory>

// A recorder on a file in a fresh temporary directory; the user's real files are never seen.
struct TempStore {
    QTemporaryDir dir;
    QString path() const { return dir.filePath(QStringLiteral("Quillfern/traffic.json")); }

    std::unique_ptr<TrafficRecorder> open(bool load = true) const {
        TrafficRecorder::Config config;
        config.dataPath = path();
        config.load = load;
        config.toolPath = dir.filePath(QStringLiteral("no-such-tool"));
        return std::make_unique<TrafficRecorder>(config);
    }

    void write(const QByteArray& bytes) const {
        QDir().mkpath(dir.filePath(QStringLiteral("Quillfern")));
        QFile file(path());
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(bytes);
    }

    QByteArray read() const {
        QFile file(path());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};
