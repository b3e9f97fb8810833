#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <cstdint>

struct sqlite3;
struct sqlite3_stmt;

// A thin owner of SQLite's C objects: a connection, a prepared statement, a transaction.
// Failures are kept on the connection (the first one since the last clearError()), so a
// sequence of calls can be checked once at its end.
namespace sql {

class Database {
public:
    enum class Mode { ReadOnly, ReadWrite };

    Database() = default;
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Never follows a symbolic link and never creates the file. Registers u64max(a, b) and
    // the aggregate u64sum(x), which treat stored integers as unsigned 64-bit patterns.
    bool open(const QString& path, Mode mode);
    void close();
    sqlite3* handle() const { return m_db; }

    // Runs statements without results; false (with the error kept) on the first failure.
    bool exec(const char* sql);
    // The single integer a statement such as "PRAGMA user_version" yields, or `fallback`.
    std::int64_t queryInt(const char* sql, std::int64_t fallback = 0);
    QString queryText(const char* sql);

    int errorCode() const { return m_errorCode; }
    const QString& errorMessage() const { return m_errorMessage; }
    void clearError();
    // Called by statements; the first failure wins.
    void noteError(int code);

    // SQLite's judgement of the file: not a database, or damaged.
    bool errorIsCorrupt() const;
    // The open file is no longer the one at its path: removed, renamed or replaced.
    bool fileHasMoved() const;

private:
    sqlite3* m_db = nullptr;
    int m_errorCode = 0;
    QString m_errorMessage;
};

class Statement {
public:
    Statement(Database& db, const char* sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return m_stmt != nullptr; }

    // Parameters count from 1, as in SQLite.
    void bind(int index, std::uint64_t value);
    void bind(int index, const QString& text);
    // True while a row is there to read; false when done or failed (the error is on the db).
    bool next();
    // Runs a statement that returns no rows; false on failure.
    bool run();
    void reset();

    std::uint64_t u64(int column) const;
    QString text(int column) const;
    // The UTF-8 bytes as stored: compare these to follow SQLite's own text order.
    QByteArray bytes(int column) const;

private:
    Database& m_db;
    sqlite3_stmt* m_stmt = nullptr;
};

// BEGIN on construction, ROLLBACK on destruction unless commit() succeeded.
class Transaction {
public:
    // `immediate` takes the write lock at once, so a writer never finds it taken half-way.
    Transaction(Database& db, bool immediate);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool commit();

private:
    Database& m_db;
    bool m_began = false;
    bool m_done = false;
};

} // namespace sql
