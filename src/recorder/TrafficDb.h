#pragma once

#include "Sqlite.h"
#include "TrafficJson.h"

#include <QIODevice>
#include <QLoggingCategory>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

// The traffic history on disk: a SQLite database with a table of days (day key, totalIn,
// totalOut) and a table of applications per day (day, application, in, out), in WAL mode.
//
// Counts are unsigned 64-bit numbers and SQLite's integers are signed, so each count is
// stored as its 64-bit pattern: every value up to 2^64 - 1 comes back exactly, and counts
// of 2^63 or more (never reached in practice) read as negative in other tools. Our own SQL
// compares and sums them with u64max and u64sum (see Sqlite.h).
//
// Every write merges: each figure becomes the larger of the stored and the written one. A
// day's counts only ever grow, so for the program's own saves this is plain replacement,
// while a file merged in by someone else at the same time can never lower them.
class TrafficDb {
public:
    static constexpr int kSchemaVersion = 1;

    struct OpenOptions {
        // A traffic file in the former JSON format, moved in once and then renamed.
        QString legacyJson;
        // Start with no history: whatever is at the path is set aside unread.
        bool fresh = false;
    };

    // Opens the store, creating it (0600; its directory 0700) when there is none. A file that
    // SQLite finds damaged or not a database, a directory or a symbolic link in its place is
    // renamed "<name>.unreadable-YYYYMMDD-HHMMSS" with its -wal and -shm files, and a fresh
    // store begins. Returns null with the reason in `why` when the store cannot be used.
    static std::unique_ptr<TrafficDb> openForWriting(const QString& path,
                                                     const OpenOptions& options, QString* why);
    // A reading connection that never creates or repairs anything.
    static std::unique_ptr<TrafficDb> openForReading(const QString& path, QString* why);

    // One day with its applications, or none when the store has no such day.
    std::optional<DailyTraffic> day(const QString& key);
    // The days from `from` to `to` (inclusive) with their totals only, leaving out `skip`.
    TrafficDays dayTotals(const QString& from, const QString& to, const QStringList& skip = {});
    // Totals and applications summed over the days from `from` to `to`, leaving out `skip`.
    DailyTraffic sum(const QString& from, const QString& to, const QStringList& skip = {});

    // One transaction: each figure becomes the larger of the stored and the given one.
    bool merge(const TrafficDays& days);
    // The whole history in the traffic file's JSON format, read in one transaction.
    bool exportJson(QIODevice& out);

    sql::Database& database() { return m_db; }
    const QString& path() const { return m_path; }
    // Says what the last failure was, in a sentence for standard error.
    QString lastError() const;

private:
    explicit TrafficDb(QString path) : m_path(std::move(path)) {}
    bool prepareSchema(QString* why);
    void importLegacy(const QString& legacyJson);

    QString m_path;
    sql::Database m_db;
    // Declared after the connection, so they are finalised before it closes.
    std::unique_ptr<sql::Statement> m_dayTotals;
    std::unique_ptr<sql::Statement> m_dayApps;
};

// The former traffic file beside a store: "traffic.json" in the same directory.
QString trafficLegacyJsonPath(const QString& dbPath);

// Renames `path` (and, with `withSideFiles`, its -wal and -shm) to
// "<path>.<tag>-YYYYMMDD-HHMMSS"; returns the new name, or an empty string when it failed.
QString trafficMoveAside(const QString& path, const char* tag, bool withSideFiles);

// The command line's export: the store's history as JSON on `out`. Where there is no store
// yet, the traffic file waiting beside it to be moved in (or an empty object) is written.
bool trafficExportJson(const QString& dbPath, QIODevice& out, QString* error);
// The command line's import: merges a JSON traffic file into the store (creating it).
bool trafficImportJson(const QString& dbPath, const QString& file, QString* error, int* days);
