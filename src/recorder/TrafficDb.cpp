#include "TrafficDb.h"

#include "Logging.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>

namespace {

constexpr QFileDevice::Permissions kPrivate = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
const char* const kSideFiles[] = {"-wal", "-shm"};

bool existsOrDangles(const QFileInfo& info) {
    return info.exists() || info.isSymLink();
}

// The directory that holds the history reveals which programs the user runs: when we create
// it, only the user may enter it. An existing directory keeps its mode.
void ensurePrivateDirectory(const QString& dir) {
    if (dir.isEmpty() || existsOrDangles(QFileInfo(dir)))
        return;
    QDir().mkpath(QFileInfo(dir).path());
    QDir().mkdir(dir, kPrivate | QFileDevice::ExeOwner);
}

// The history and its side files are the user's alone, also when an older version or a copy
// left them readable by others. SQLite gives new side files the database's own mode.
void makePrivate(const QString& path) {
    for (const QString& file :
         {path, path + QLatin1String(kSideFiles[0]), path + QLatin1String(kSideFiles[1])}) {
        const QFileInfo info(file);
        if (info.isFile() && !info.isSymLink() && info.permissions() != kPrivate)
            QFile::setPermissions(file, kPrivate);
    }
}

// A side file SQLite would follow somewhere else is no side file of ours.
bool sideFilesAreSafe(const QString& path) {
    for (const char* suffix : kSideFiles) {
        const QFileInfo info(path + QLatin1String(suffix));
        if (info.isSymLink() || (info.exists() && !info.isFile()))
            return false;
    }
    return true;
}

QByteArray skipList(const QStringList& skip) {
    return QJsonDocument(QJsonArray::fromStringList(skip)).toJson(QJsonDocument::Compact);
}

QString describe(const sql::Database& db) {
    if (db.errorIsCorrupt())
        return QStringLiteral("damaged or not a traffic database (%1)").arg(db.errorMessage());
    return db.errorMessage();
}

} // namespace

QString trafficLegacyJsonPath(const QString& dbPath) {
    return QFileInfo(dbPath).dir().filePath(QStringLiteral("traffic.json"));
}

QString trafficMoveAside(const QString& path, const char* tag, bool withSideFiles) {
    const QString stamp =
        QLocale::c().toString(QDateTime::currentDateTime(), QStringLiteral("yyyyMMdd-HHmmss"));
    const QString base = path + u'.' + QLatin1String(tag) + u'-' + stamp;
    for (int attempt = 1; attempt <= 100; ++attempt) {
        const QString target = attempt == 1 ? base : base + QStringLiteral("-%1").arg(attempt);
        bool taken = existsOrDangles(QFileInfo(target));
        for (const char* suffix : kSideFiles)
            taken = taken ||
                    (withSideFiles && existsOrDangles(QFileInfo(target + QLatin1String(suffix))));
        if (taken)
            continue;
        // QFile::rename would copy what it cannot rename; a plain rename moves the link or
        // directory itself and never duplicates the user's data.
        if (!QDir().rename(path, target))
            return {};
        if (withSideFiles) {
            for (const char* suffix : kSideFiles) {
                const QString side = path + QLatin1String(suffix);
                if (existsOrDangles(QFileInfo(side)))
                    QDir().rename(side, target + QLatin1String(suffix));
            }
        }
        return target;
    }
    return {};
}

std::unique_ptr<TrafficDb> TrafficDb::openForWriting(const QString& path,
                                                     const OpenOptions& options, QString* why) {
    ensurePrivateDirectory(QFileInfo(path).path());
    std::unique_ptr<TrafficDb> store(new TrafficDb(path));
    if (options.fresh && existsOrDangles(QFileInfo(path)) &&
        trafficMoveAside(path, "previous", true).isEmpty()) {
        *why = QStringLiteral("%1 is in the way and cannot be moved aside").arg(path);
        return nullptr;
    }
    // A second round only after the first set a damaged store aside.
    for (int round = 0; round < 2; ++round) {
        const QFileInfo info(path);
        if (existsOrDangles(info) &&
            (info.isSymLink() || !info.isFile() || !sideFilesAreSafe(path))) {
            const QString aside = trafficMoveAside(path, "unreadable", true);
            if (aside.isEmpty()) {
                *why = QStringLiteral("%1 is not a plain file and cannot be moved aside").arg(path);
                return nullptr;
            }
            qCWarning(lcStore, "%s was not a plain file; kept as %s, starting a new history",
                      qUtf8Printable(path), qUtf8Printable(aside));
        }
        if (!existsOrDangles(QFileInfo(path))) {
            QFile create(path);
            if (!create.open(QIODevice::WriteOnly | QIODevice::NewOnly, kPrivate)) {
                *why = QStringLiteral("cannot create %1: %2").arg(path, create.errorString());
                return nullptr;
            }
        }
        makePrivate(path);
        if (store->m_db.open(path, sql::Database::Mode::ReadWrite) && store->prepareSchema(why))
            break;
        if (!store->m_db.errorIsCorrupt() || round == 1) {
            if (why->isEmpty())
                *why = QStringLiteral("cannot open %1: %2").arg(path, describe(store->m_db));
            return nullptr;
        }
        store->m_db.close();
        const QString aside = trafficMoveAside(path, "unreadable", true);
        if (aside.isEmpty()) {
            *why = QStringLiteral("%1 is damaged and cannot be moved aside").arg(path);
            return nullptr;
        }
        qCWarning(lcStore, "%s is damaged or not a database; kept as %s, starting a new history",
                  qUtf8Printable(path), qUtf8Printable(aside));
    }
    if (!options.legacyJson.isEmpty())
        store->importLegacy(options.legacyJson);
    return store;
}

bool TrafficDb::prepareSchema(QString* why) {
    // Waits for another process's write (an import, an export) rather than failing.
    m_db.exec("PRAGMA busy_timeout = 10000");
    // The first statement that reads the file: this is where a file that is not a database
    // shows itself.
    const std::int64_t version = m_db.queryInt("PRAGMA user_version", -1);
    if (m_db.errorCode() != 0)
        return false;
    if (version > kSchemaVersion) {
        *why = QStringLiteral("%1 was written by a newer version of Quillfern").arg(m_path);
        return false;
    }
    if (m_db.queryText("PRAGMA journal_mode = WAL") != QLatin1String("wal"))
        return false;
    // A commit that returned is on disk: the history must survive a power cut, and a save a
    // minute is no cost worth saving.
    m_db.exec("PRAGMA synchronous = FULL");
    if (version == kSchemaVersion)
        return m_db.errorCode() == 0;
    sql::Transaction transaction(m_db, true);
    m_db.exec("CREATE TABLE IF NOT EXISTS days ("
              " day TEXT PRIMARY KEY NOT NULL,"
              " totalIn INTEGER NOT NULL DEFAULT 0,"
              " totalOut INTEGER NOT NULL DEFAULT 0"
              ") WITHOUT ROWID;"
              "CREATE TABLE IF NOT EXISTS apps ("
              " day TEXT NOT NULL,"
              " application TEXT NOT NULL,"
              " \"in\" INTEGER NOT NULL DEFAULT 0,"
              " \"out\" INTEGER NOT NULL DEFAULT 0,"
              " PRIMARY KEY (day, application)"
              ") WITHOUT ROWID;"
              "PRAGMA user_version = 1;");
    return transaction.commit();
}

void TrafficDb::importLegacy(const QString& legacyJson) {
    const QFileInfo info(legacyJson);
    if (!info.isFile() || info.isSymLink())
        return;
    // Whatever happens to it next, it keeps the user's history and is theirs alone.
    if (info.permissions() != kPrivate)
        QFile::setPermissions(legacyJson, kPrivate);
    QFile file(legacyJson);
    QByteArray bytes;
    bool readable = false;
    if (file.open(QIODevice::ReadOnly)) {
        bytes = file.readAll();
        readable = file.error() == QFileDevice::NoError;
    }
    file.close();
    TrafficDays days;
    if (!readable ||
        (!bytes.trimmed().isEmpty() && trafficFromJson(bytes, days) != TrafficParse::Ok)) {
        const QString aside = trafficMoveAside(legacyJson, "unreadable", false);
        qCWarning(lcStore, "%s cannot be read as traffic history; %s", qUtf8Printable(legacyJson),
                  aside.isEmpty() ? "it could not be moved aside either"
                                  : qUtf8Printable(QStringLiteral("kept as ") + aside));
        return;
    }
    if (!merge(days)) {
        qCWarning(lcStore, "could not move %s into the store (%s); trying again at the next start",
                  qUtf8Printable(legacyJson), qUtf8Printable(lastError()));
        return;
    }
    // Merging is idempotent, so a copy left behind by a failed rename does no harm next time.
    const QString kept = trafficMoveAside(legacyJson, "imported", false);
    qCInfo(lcStore, "moved %lld days from %s into %s%s", static_cast<long long>(days.size()),
           qUtf8Printable(legacyJson), qUtf8Printable(m_path),
           kept.isEmpty() ? "" : qUtf8Printable(QStringLiteral("; the file is kept as ") + kept));
}

std::unique_ptr<TrafficDb> TrafficDb::openForReading(const QString& path, QString* why) {
    std::unique_ptr<TrafficDb> store(new TrafficDb(path));
    const QFileInfo info(path);
    if (!info.isFile() || info.isSymLink()) {
        *why = QStringLiteral("%1 is not a plain file").arg(path);
        return nullptr;
    }
    if (!store->m_db.open(path, sql::Database::Mode::ReadOnly)) {
        *why = QStringLiteral("cannot open %1: %2").arg(path, describe(store->m_db));
        return nullptr;
    }
    store->m_db.exec("PRAGMA busy_timeout = 2000");
    const std::int64_t version = store->m_db.queryInt("PRAGMA user_version", -1);
    if (store->m_db.errorCode() != 0 || version != kSchemaVersion) {
        *why = version > kSchemaVersion
                   ? QStringLiteral("%1 was written by a newer version of Quillfern").arg(path)
                   : QStringLiteral("cannot read %1: %2")
                         .arg(path, store->m_db.errorCode()
                                        ? describe(store->m_db)
                                        : QStringLiteral("not a traffic database"));
        return nullptr;
    }
    return store;
}

QString TrafficDb::lastError() const {
    return describe(m_db);
}

std::optional<DailyTraffic> TrafficDb::day(const QString& key) {
    m_db.clearError();
    // The history window asks for a handful of days at each refresh: the statements are
    // prepared once per connection.
    if (!m_dayTotals) {
        m_dayTotals = std::make_unique<sql::Statement>(
            m_db, "SELECT totalIn, totalOut FROM days WHERE day = ?1");
        m_dayApps = std::make_unique<sql::Statement>(
            m_db, "SELECT application, \"in\", \"out\" FROM apps WHERE day = ?1");
    }
    // Both reads see the same commit.
    sql::Transaction transaction(m_db, false);
    sql::Statement& totals = *m_dayTotals;
    sql::Statement& apps = *m_dayApps;
    totals.reset();
    apps.reset();
    totals.bind(1, key);
    if (!totals.next()) {
        totals.reset();
        return std::nullopt;
    }
    DailyTraffic day{{totals.u64(0), totals.u64(1)}, {}};
    apps.bind(1, key);
    while (apps.next())
        day.apps.emplace_hint(day.apps.end(), apps.text(0), AppTraffic{apps.u64(1), apps.u64(2)});
    totals.reset();
    apps.reset();
    return day;
}

TrafficDays TrafficDb::dayTotals(const QString& from, const QString& to, const QStringList& skip) {
    m_db.clearError();
    TrafficDays days;
    sql::Statement query(m_db, "SELECT day, totalIn, totalOut FROM days WHERE day BETWEEN ?1 AND ?2"
                               " AND day NOT IN (SELECT value FROM json_each(?3))");
    query.bind(1, from);
    query.bind(2, to);
    query.bind(3, QString::fromUtf8(skipList(skip)));
    while (query.next())
        days.emplace(query.text(0), DailyTraffic{{query.u64(1), query.u64(2)}, {}});
    return days;
}

DailyTraffic TrafficDb::sum(const QString& from, const QString& to, const QStringList& skip) {
    m_db.clearError();
    const QString skipped = QString::fromUtf8(skipList(skip));
    sql::Transaction transaction(m_db, false);
    DailyTraffic total;
    sql::Statement totals(m_db, "SELECT u64sum(totalIn), u64sum(totalOut) FROM days"
                                " WHERE day BETWEEN ?1 AND ?2"
                                " AND day NOT IN (SELECT value FROM json_each(?3))");
    totals.bind(1, from);
    totals.bind(2, to);
    totals.bind(3, skipped);
    if (totals.next()) {
        total.total.in = totals.u64(0);
        total.total.out = totals.u64(1);
    }
    sql::Statement apps(m_db, "SELECT application, u64sum(\"in\"), u64sum(\"out\") FROM apps"
                              " WHERE day BETWEEN ?1 AND ?2"
                              " AND day NOT IN (SELECT value FROM json_each(?3))"
                              " GROUP BY application");
    apps.bind(1, from);
    apps.bind(2, to);
    apps.bind(3, skipped);
    while (apps.next())
        total.apps.emplace(apps.text(0), AppTraffic{apps.u64(1), apps.u64(2)});
    return total;
}

bool TrafficDb::merge(const TrafficDays& days) {
    m_db.clearError();
    sql::Transaction transaction(m_db, true);
    sql::Statement day(m_db, "INSERT INTO days (day, totalIn, totalOut) VALUES (?1, ?2, ?3)"
                             " ON CONFLICT (day) DO UPDATE SET"
                             " totalIn = u64max(totalIn, excluded.totalIn),"
                             " totalOut = u64max(totalOut, excluded.totalOut)");
    sql::Statement app(m_db, "INSERT INTO apps (day, application, \"in\", \"out\")"
                             " VALUES (?1, ?2, ?3, ?4)"
                             " ON CONFLICT (day, application) DO UPDATE SET"
                             " \"in\" = u64max(\"in\", excluded.\"in\"),"
                             " \"out\" = u64max(\"out\", excluded.\"out\")");
    for (const auto& [key, traffic] : days) {
        day.bind(1, key);
        day.bind(2, traffic.total.in);
        day.bind(3, traffic.total.out);
        if (!day.run())
            return false;
        for (const auto& [name, counts] : traffic.apps) {
            app.bind(1, key);
            app.bind(2, name);
            app.bind(3, counts.in);
            app.bind(4, counts.out);
            if (!app.run())
                return false;
        }
    }
    return transaction.commit();
}

bool TrafficDb::exportJson(QIODevice& out) {
    m_db.clearError();
    sql::Transaction transaction(m_db, false);
    sql::Statement days(m_db, "SELECT day, totalIn, totalOut FROM days ORDER BY day");
    sql::Statement apps(
        m_db, "SELECT day, application, \"in\", \"out\" FROM apps ORDER BY day, application");
    bool haveApp = apps.next();
    QByteArray buffer = "{";
    bool first = true;
    while (days.next()) {
        const QByteArray key = days.bytes(0);
        trafficAppendDayStart(buffer, first, key, days.u64(1), days.u64(2));
        first = false;
        // Both walks follow the same byte order, so each day's applications come in one run.
        while (haveApp && apps.bytes(0) < key)
            haveApp = apps.next();
        bool firstApp = true;
        while (haveApp && apps.bytes(0) == key) {
            trafficAppendApp(buffer, firstApp, apps.bytes(1), apps.u64(2), apps.u64(3));
            firstApp = false;
            haveApp = apps.next();
        }
        trafficAppendDayEnd(buffer, !firstApp);
        if (buffer.size() > (1 << 20)) {
            if (out.write(buffer) != buffer.size())
                return false;
            buffer.clear();
        }
    }
    if (m_db.errorCode() != 0)
        return false;
    buffer += trafficJsonEnd(first);
    return out.write(buffer) == buffer.size();
}

bool trafficExportJson(const QString& dbPath, QIODevice& out, QString* error) {
    if (!existsOrDangles(QFileInfo(dbPath))) {
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

bool trafficImportJson(const QString& dbPath, const QString& file, QString* error, int* days) {
    QFile input(file);
    if (!input.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(file, input.errorString());
        return false;
    }
    TrafficDays imported;
    if (trafficFromJson(input.readAll(), imported) != TrafficParse::Ok) {
        *error = QStringLiteral("%1 is not a traffic history in JSON (an object keyed by day)")
                     .arg(file);
        return false;
    }
    QString why;
    TrafficDb::OpenOptions options;
    options.legacyJson = trafficLegacyJsonPath(dbPath);
    const auto store = TrafficDb::openForWriting(dbPath, options, &why);
    if (!store) {
        *error = why;
        return false;
    }
    if (!store->merge(imported)) {
        *error = QStringLiteral("cannot write %1: %2").arg(dbPath, store->lastError());
        return false;
    }
    *days = static_cast<int>(imported.size());
    return true;
}
