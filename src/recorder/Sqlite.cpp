#include "Sqlite.h"

#include "ByteCounts.h"

#include <QFile>
#include <sqlite3.h>

namespace sql {

namespace {

// SQLite's integers are signed; the counters are unsigned and kept as their bit pattern.
std::uint64_t asU64(sqlite3_value* value) {
    return static_cast<std::uint64_t>(sqlite3_value_int64(value));
}

void u64Max(sqlite3_context* context, int, sqlite3_value** argv) {
    sqlite3_result_int64(context,
                         static_cast<sqlite3_int64>(std::max(asU64(argv[0]), asU64(argv[1]))));
}

void u64SumStep(sqlite3_context* context, int, sqlite3_value** argv) {
    auto* sum =
        static_cast<std::uint64_t*>(sqlite3_aggregate_context(context, sizeof(std::uint64_t)));
    if (sum && sqlite3_value_type(argv[0]) != SQLITE_NULL)
        *sum = saturatingAdd(*sum, asU64(argv[0]));
}

void u64SumFinal(sqlite3_context* context) {
    auto* sum = static_cast<std::uint64_t*>(sqlite3_aggregate_context(context, 0));
    sqlite3_result_int64(context, static_cast<sqlite3_int64>(sum ? *sum : 0));
}

} // namespace

Database::~Database() {
    close();
}

bool Database::open(const QString& path, Mode mode) {
    close();
    clearError();
    const int flags = (mode == Mode::ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
                      SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX;
    const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, flags, nullptr);
    if (rc != SQLITE_OK) {
        noteError(rc);
        close();
        return false;
    }
    sqlite3_extended_result_codes(m_db, 1);
    const int fn = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
    sqlite3_create_function(m_db, "u64max", 2, fn, nullptr, u64Max, nullptr, nullptr);
    sqlite3_create_function(m_db, "u64sum", 1, fn, nullptr, nullptr, u64SumStep, u64SumFinal);
    return true;
}

void Database::close() {
    if (m_db) {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    }
}

bool Database::exec(const char* sql) {
    if (!m_db)
        return false;
    const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        noteError(rc);
        return false;
    }
    return true;
}

std::int64_t Database::queryInt(const char* sql, std::int64_t fallback) {
    Statement statement(*this, sql);
    return statement.next() ? static_cast<std::int64_t>(statement.u64(0)) : fallback;
}

QString Database::queryText(const char* sql) {
    Statement statement(*this, sql);
    return statement.next() ? statement.text(0) : QString();
}

void Database::clearError() {
    m_errorCode = 0;
    m_errorMessage.clear();
}

void Database::noteError(int code) {
    if (m_errorCode != 0)
        return;
    m_errorCode = code;
    const char* detail = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(code);
    m_errorMessage = QString::fromUtf8(detail ? detail : sqlite3_errstr(code));
}

bool Database::errorIsCorrupt() const {
    const int primary = m_errorCode & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

bool Database::fileHasMoved() const {
    // SQLite compares the file it holds with a fresh look at the path it opened.
    int moved = 0;
    return m_db &&
           sqlite3_file_control(m_db, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK &&
           moved != 0;
}

Statement::Statement(Database& db, const char* sql) : m_db(db) {
    if (!db.handle())
        return;
    const int rc = sqlite3_prepare_v2(db.handle(), sql, -1, &m_stmt, nullptr);
    if (rc != SQLITE_OK) {
        db.noteError(rc);
        m_stmt = nullptr;
    }
}

Statement::~Statement() {
    sqlite3_finalize(m_stmt);
}

void Statement::bind(int index, std::uint64_t value) {
    if (m_stmt)
        sqlite3_bind_int64(m_stmt, index, static_cast<sqlite3_int64>(value));
}

void Statement::bind(int index, const QString& text) {
    if (!m_stmt)
        return;
    const QByteArray utf8 = text.toUtf8();
    sqlite3_bind_text(m_stmt, index, utf8.constData(), static_cast<int>(utf8.size()),
                      SQLITE_TRANSIENT);
}

bool Statement::next() {
    if (!m_stmt)
        return false;
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW)
        return true;
    if (rc != SQLITE_DONE)
        m_db.noteError(rc);
    return false;
}

bool Statement::run() {
    if (!m_stmt)
        return false;
    const int rc = sqlite3_step(m_stmt);
    sqlite3_reset(m_stmt);
    if (rc == SQLITE_DONE || rc == SQLITE_ROW)
        return true;
    m_db.noteError(rc);
    return false;
}

void Statement::reset() {
    if (m_stmt)
        sqlite3_reset(m_stmt);
}

std::uint64_t Statement::u64(int column) const {
    return static_cast<std::uint64_t>(sqlite3_column_int64(m_stmt, column));
}

QString Statement::text(int column) const {
    const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column));
    return QString::fromUtf8(bytes, sqlite3_column_bytes(m_stmt, column));
}

QByteArray Statement::bytes(int column) const {
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column));
    return QByteArray(data, sqlite3_column_bytes(m_stmt, column));
}

Transaction::Transaction(Database& db, bool immediate) : m_db(db) {
    m_began = db.exec(immediate ? "BEGIN IMMEDIATE" : "BEGIN");
}

Transaction::~Transaction() {
    if (m_began && !m_done) {
        // The rollback's own failure must not hide the error that caused it.
        sqlite3_exec(m_db.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

bool Transaction::commit() {
    if (!m_began || m_done)
        return false;
    // A failure before the commit leaves the transaction to be rolled back.
    if (m_db.errorCode() != 0)
        return false;
    if (!m_db.exec("COMMIT"))
        return false;
    m_done = true;
    return true;
}

} // namespace sql
