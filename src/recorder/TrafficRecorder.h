#pragma once

#include "TrafficJson.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

// Keeps per-day totals and per-application bytes: today in memory, every day in the traffic
// store (see TrafficDb), written by a thread of its own. All instance operations run on the
// main thread.
class TrafficRecorder : public QObject {
    Q_OBJECT
public:
    struct Config {
        // The traffic store; empty: none, the figures live in memory only. A "traffic.json"
        // beside it is moved in at the first opening.
        QString dataPath;
        // False: start with no history; whatever is at dataPath is set aside unread.
        bool load = true;
        // The per-process tool and its arguments.
        QString toolPath;
        QStringList toolArgs;
        int toolTimeoutMs = 10000;
        int sampleIntervalMs = 15000;
        int saveIntervalMs = 60000;
    };

    // The program's one recorder: created on first use, exactly once, never released.
    static TrafficRecorder& shared();
    // The configuration shared() uses: the user's data directory (else a private runtime
    // directory, else no store) and the platform's tool.
    static Config defaultConfig();
    // "Quillfern/traffic.db" in the user's data directory, or empty when there is none.
    static QString defaultDataPath();

    // Tests make their own instances with temporary files; the program uses shared().
    explicit TrafficRecorder(const Config& config);
    ~TrafficRecorder() override;

    QString dataPath() const;
    // False when there is no place for a store: nothing outlives the program.
    bool hasStore() const;
    // Hands what changed since the last save to the writer thread and returns at once.
    void saveData();
    // Waits until every save handed over so far has been written or refused.
    void waitForSaves();

    // Adds the machine's bytes to today's totals.
    void recordTotal(ByteCounts bytes);
    std::optional<DailyTraffic> getDay(const QString& dayKey) const;
    std::optional<DailyTraffic> getToday() const;
    std::vector<AppEntry> sortedApps(const QString& dayKey) const;
    // The days from `from` to `to` (day keys, inclusive) that have figures, totals only.
    TrafficDays daysBetween(const QString& from, const QString& to) const;
    // Totals and applications summed over the days from `from` to `to`.
    DailyTraffic sumBetween(const QString& from, const QString& to) const;

    void startTimers();
    void stopAndSave();
    void sampleAppTraffic();

    // Main thread: one run of the tool (none: it failed); each process's growth since the
    // previous good run goes to today's entry for its current name.
    void processAppSample(const std::optional<ProcessSample>& run);

signals:
    // Emitted on the main thread after each sample has been applied (tests wait on it).
    void sampleApplied();

private:
    struct Impl;
    Impl* d;
};
