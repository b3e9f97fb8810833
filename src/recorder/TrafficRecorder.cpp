#include "TrafficRecorder.h"

#include "AppSampling.h"
#include "DayKey.h"
#include "Logging.h"
#include "NettopRunner.h"
#include "SingleInstance.h"
#include "StateReporter.h"
#include "StoreWriter.h"
#include "TrafficDb.h"
#include "TrafficJson.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <memory>
#include <set>

namespace {

#ifndef Q_OS_MACOS
QString findStandInTool() {
    const QString name = QStringLiteral("quillfern-nettop");
    QStringList candidates;
    if (QCoreApplication::instance()) {
        const QString appDir = QCoreApplication::applicationDirPath();
        candidates << appDir + u'/' + name
                   << QDir::cleanPath(appDir + QString::fromUtf8("/" QUILLFERN_LIBEXEC_REL "/") +
                                      name);
    }
    candidates << QString::fromUtf8(QUILLFERN_BUILD_TOOL_PATH);
    for (const QString& candidate : candidates) {
        const QFileInfo info(candidate);
        if (info.isFile() && info.isExecutable())
            return candidate;
    }
    // Nothing there: the run fails and every sample is empty, which is what a missing tool
    // means anyway.
    return candidates.first();
}
#endif

} // namespace

struct TrafficRecorder::Impl {
    Config config;
    QString dataPath;
    // Every process of the last good run of the tool; none before the first and after a
    // failed one.
    std::optional<ProcessSample> appReference;
    // A failing tool is said once, again when the failure changes (main thread only).
    StateReporter toolState{lcTool(), QStringLiteral("the per-process tool works again")};
    QTimer* saveTimer = nullptr;
    QTimer* appSampleTimer = nullptr;

    // Today, and an earlier day only until its last change is on disk. Every other day is
    // read from the store when asked for.
    TrafficDays days;
    // What changed in each day since it was last handed to the writer.
    struct Changes {
        bool totals = false;
        bool whole = false;
        std::set<QString> apps;
    };
    std::map<QString, Changes> changed;
    // The generation of the hand-over that carried each day's latest change.
    std::map<QString, std::uint64_t> handedIn;
    // Days recorded before the store was open: they hold only what came since the start.
    std::set<QString> unbased;
    std::uint64_t generation = 0;
    std::uint64_t seenOpenings = 0;

    std::unique_ptr<StoreWriter> writer;
    std::unique_ptr<TrafficDb> reader;

    // The serial queue: one thread whose event loop runs the tool one request at a time.
    QThread* thread = nullptr;
    QObject* worker = nullptr;
    std::shared_ptr<std::atomic<bool>> cancel = std::make_shared<std::atomic<bool>>(false);

    // Today's key, remembered until the next local midnight (or a minute, so that a change
    // of time zone shows soon): the tick asks for it every second, and working it out means
    // a trip through the time zone rules each time.
    QString cachedDay;
    qint64 cachedFromMs = 0;
    qint64 cachedUntilMs = 0;
    QString today();

    void absorb();
    void ensureReady();
    DailyTraffic& dayForWrite(const QString& key);
    std::optional<DailyTraffic> readDay(const QString& key);
    QStringList memoryKeys() const;
};

QString TrafficRecorder::Impl::today() {
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    // A clock set back counts as a change too.
    if (now >= cachedFromMs && now < cachedUntilMs)
        return cachedDay;
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(now);
    cachedDay = DayKey::format(local.date());
    const qint64 midnight = QDateTime(local.date().addDays(1), QTime(0, 0)).toMSecsSinceEpoch();
    cachedFromMs = now;
    cachedUntilMs = std::min(midnight, now + 60 * 1000);
    return cachedDay;
}

// Takes in what the writer has done since the last look: costs two atomic loads when
// nothing happened, so every operation may call it.
void TrafficRecorder::Impl::absorb() {
    if (!writer->isReady())
        return;
    const std::uint64_t openings = writer->openings();
    if (openings != seenOpenings) {
        seenOpenings = openings;
        QString why;
        reader = TrafficDb::openForReading(dataPath, &why);
        if (!reader)
            qCWarning(lcStore, "cannot read the traffic history: %s", qUtf8Printable(why));
        // A store opened late or started afresh lacks what only memory holds: days go over
        // whole at the next save.
        for (auto& [key, day] : days)
            changed[key].whole = true;
    }
    if (!unbased.empty()) {
        for (const QString& key : unbased) {
            if (auto stored = readDay(key))
                days[key] += *stored;
            changed[key].whole = true;
        }
        unbased.clear();
    }
    const std::uint64_t saved = writer->savedGeneration();
    const QString current = today();
    for (auto it = days.begin(); it != days.end();) {
        const auto handed = handedIn.find(it->first);
        const bool onDisk = handed == handedIn.end() || handed->second <= saved;
        if (it->first != current && !changed.count(it->first) && onDisk) {
            if (handed != handedIn.end())
                handedIn.erase(handed);
            it = days.erase(it);
        } else {
            ++it;
        }
    }
}

void TrafficRecorder::Impl::ensureReady() {
    writer->waitReady();
    absorb();
}

std::optional<DailyTraffic> TrafficRecorder::Impl::readDay(const QString& key) {
    return reader ? reader->day(key) : std::nullopt;
}

DailyTraffic& TrafficRecorder::Impl::dayForWrite(const QString& key) {
    absorb();
    auto [it, inserted] = days.try_emplace(key);
    if (!inserted)
        return it->second;
    // A new day in memory starts from what the store holds for it; before the store is open
    // it gathers only the new figures, and the stored ones are added once it is.
    std::optional<DailyTraffic> stored;
    if (writer->isReady())
        stored = readDay(key);
    else
        unbased.insert(key);
    if (stored)
        it->second = std::move(*stored);
    else
        changed[key].totals = true; // a day that exists from now on, even at zero
    return it->second;
}

QStringList TrafficRecorder::Impl::memoryKeys() const {
    QStringList keys;
    for (const auto& entry : days)
        keys << entry.first;
    return keys;
}

TrafficRecorder& TrafficRecorder::shared() {
    static TrafficRecorder* const recorder = [] {
        auto* r = new TrafficRecorder(defaultConfig());
        // Timers and queued results belong to the main thread, whoever asked first.
        if (auto* app = QCoreApplication::instance(); app && r->thread() != app->thread())
            r->moveToThread(app->thread());
        return r;
    }();
    return *recorder;
}

QString TrafficRecorder::defaultDataPath() {
    // Without a home Qt puts the data under "/", a place every user shares: that is none.
    if (QDir::homePath() == QDir::rootPath() && qEnvironmentVariableIsEmpty("XDG_DATA_HOME"))
        return {};
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (!QDir::isAbsolutePath(dir))
        return {};
    return dir + QStringLiteral("/Quillfern/traffic.db");
}

TrafficRecorder::Config TrafficRecorder::defaultConfig() {
    Config config;
    config.dataPath = defaultDataPath();
    // Else the session's own runtime directory, if it is the user's alone; a place shared
    // with other users never, as they could read or plant the history there.
    if (config.dataPath.isEmpty()) {
        if (const auto runtime =
                SingleInstance::privateDirectory(qgetenv("XDG_RUNTIME_DIR"), {}, {}))
            config.dataPath = *runtime + QStringLiteral("/quillfern/traffic.db");
    }
#ifdef Q_OS_MACOS
    config.toolPath = QStringLiteral("/usr/bin/nettop");
#else
    config.toolPath = findStandInTool();
#endif
    config.toolArgs = {QStringLiteral("-P"), QStringLiteral("-x"), QStringLiteral("-L"),
                       QStringLiteral("1"),  QStringLiteral("-s"), QStringLiteral("1")};
    return config;
}

TrafficRecorder::TrafficRecorder(const Config& config) : d(new Impl) {
    d->config = config;
    d->dataPath = config.dataPath;
    TrafficDb::OpenOptions options;
    options.fresh = !config.load;
    if (d->dataPath.isEmpty())
        qCWarning(lcStore, "no data directory and no private runtime directory: the "
                           "traffic history is kept in memory only, until the program quits");
    else if (!options.fresh)
        options.legacyJson = trafficLegacyJsonPath(d->dataPath);
    d->writer = std::make_unique<StoreWriter>(d->dataPath, options);
}

TrafficRecorder::~TrafficRecorder() {
    // A running tool is killed and reaped by its run once it sees the flag; pending requests
    // die with the event loop.
    d->cancel->store(true);
    if (d->thread) {
        d->thread->quit();
        d->thread->wait();
        delete d->thread;
    }
    // The writer finishes what it was handed before it stops.
    d->reader.reset();
    d->writer.reset();
    delete d;
}

QString TrafficRecorder::dataPath() const {
    return d->dataPath;
}

bool TrafficRecorder::hasStore() const {
    return !d->dataPath.isEmpty();
}

void TrafficRecorder::saveData() {
    d->absorb();
    // Still opening (moving an old file in, say): what changed stays marked for the next save.
    if (!d->writer->isReady())
        return;
    TrafficDays batch;
    const std::uint64_t generation = d->generation + 1;
    for (const auto& [key, change] : d->changed) {
        const DailyTraffic& day = d->days.at(key);
        DailyTraffic& out = batch[key];
        out.total = day.total;
        if (change.whole) {
            out.apps = day.apps;
        } else {
            for (const QString& name : change.apps)
                out.apps.emplace(name, day.apps.at(name));
        }
        d->handedIn[key] = generation;
    }
    d->changed.clear();
    // An unchanged store writes nothing; a refused save is tried again all the same.
    if (batch.empty() && !d->writer->failing())
        return;
    d->generation = generation;
    d->writer->save(std::move(batch), generation);
}

void TrafficRecorder::waitForSaves() {
    d->ensureReady();
    d->writer->waitIdle();
    d->absorb();
}

void TrafficRecorder::recordTotal(ByteCounts bytes) {
    const QString key = d->today();
    DailyTraffic& day = d->dayForWrite(key);
    const ByteCounts before = day.total;
    day.total += bytes;
    if (day.total != before)
        d->changed[key].totals = true;
}

std::optional<DailyTraffic> TrafficRecorder::getDay(const QString& dayKey) const {
    d->ensureReady();
    const auto it = d->days.find(dayKey);
    if (it != d->days.end())
        return it->second;
    return d->readDay(dayKey);
}

std::optional<DailyTraffic> TrafficRecorder::getToday() const {
    return getDay(d->today());
}

TrafficDays TrafficRecorder::daysBetween(const QString& from, const QString& to) const {
    d->ensureReady();
    TrafficDays out = d->reader ? d->reader->dayTotals(from, to, d->memoryKeys()) : TrafficDays();
    for (const auto& [key, day] : d->days) {
        if (key >= from && key <= to)
            out[key] = DailyTraffic{day.total, {}};
    }
    return out;
}

DailyTraffic TrafficRecorder::sumBetween(const QString& from, const QString& to) const {
    d->ensureReady();
    DailyTraffic sum = d->reader ? d->reader->sum(from, to, d->memoryKeys()) : DailyTraffic();
    for (const auto& [key, day] : d->days) {
        if (key >= from && key <= to)
            sum += day;
    }
    return sum;
}

std::vector<AppEntry> TrafficRecorder::sortedApps(const QString& dayKey) const {
    const std::optional<DailyTraffic> day = getDay(dayKey);
    // Applications that moved nothing at all make no breakdown.
    const bool moved = day && std::any_of(day->apps.begin(), day->apps.end(),
                                          [](const auto& app) { return !app.second.isZero(); });
    return moved ? appsByTotal(day->apps) : std::vector<AppEntry>{};
}

void TrafficRecorder::startTimers() {
    if (d->appSampleTimer && d->appSampleTimer->isActive())
        return;
    sampleAppTraffic();
    if (!d->appSampleTimer) {
        d->appSampleTimer = new QTimer(this);
        connect(d->appSampleTimer, &QTimer::timeout, this, &TrafficRecorder::sampleAppTraffic);
        d->saveTimer = new QTimer(this);
        connect(d->saveTimer, &QTimer::timeout, this, &TrafficRecorder::saveData);
    }
    d->appSampleTimer->start(d->config.sampleIntervalMs);
    d->saveTimer->start(d->config.saveIntervalMs);
}

void TrafficRecorder::stopAndSave() {
    // A sample still running is left alone: its time limit bounds it, and it is applied
    // (but not saved) when it arrives.
    if (d->appSampleTimer)
        d->appSampleTimer->stop();
    if (d->saveTimer)
        d->saveTimer->stop();
    // The last save must reach the disk before the program goes; an opening still under way
    // is waited for, so that nothing recorded since the start is lost.
    d->ensureReady();
    // A save that found the store gone starts a new one, which lacks what only memory holds:
    // the days then go over whole in one more round.
    for (int round = 0; round < 2 && (round == 0 || !d->changed.empty()); ++round) {
        saveData();
        d->writer->waitIdle();
        d->absorb();
    }
    // Once its last connection closes, SQLite folds the write-ahead log into the database
    // and removes it: the file alone then holds the whole history, for a copy or a backup.
    // A save after this opens the store again.
    d->reader.reset();
    d->writer->close();
}

void TrafficRecorder::sampleAppTraffic() {
    if (!d->thread) {
        d->thread = new QThread;
        d->thread->setObjectName(QStringLiteral("quillfern.nettop"));
        d->worker = new QObject;
        d->worker->moveToThread(d->thread);
        connect(d->thread, &QThread::finished, d->worker, &QObject::deleteLater);
        d->thread->start(QThread::LowPriority);
    }
    const QString program = d->config.toolPath;
    const QStringList arguments = d->config.toolArgs;
    const int timeoutMs = d->config.toolTimeoutMs;
    std::shared_ptr<std::atomic<bool>> cancel = d->cancel;
    // The destructor stops this thread before the recorder goes, so `this` outlives every
    // task that still checks the flag.
    QMetaObject::invokeMethod(
        d->worker,
        [this, program, arguments, timeoutMs, cancel] {
            if (cancel->load())
                return;
            NettopRun run = runNettop(program, arguments, timeoutMs, cancel.get());
            if (cancel->load())
                return;
            std::optional<ProcessSample> sample;
            if (run.ok())
                sample = appParseProcesses(run.output);
            QMetaObject::invokeMethod(
                this,
                [this, sample = std::move(sample), failure = std::move(run.failure), program] {
                    d->toolState.report(failure.isEmpty() ? QString() : program + u' ' + failure);
                    processAppSample(sample);
                    emit sampleApplied();
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void TrafficRecorder::processAppSample(const std::optional<ProcessSample>& run) {
    AppSampleStep step = appSampleStep(d->appReference, run);
    d->appReference = std::move(step.reference);
    // Only growth touches the day: a failed or quiet run leaves no empty day behind.
    if (step.growth.empty())
        return;
    const QString key = d->today();
    DailyTraffic& day = d->dayForWrite(key);
    for (const auto& [name, grown] : step.growth) {
        day.apps[name] += grown;
        d->changed[key].apps.insert(name);
    }
}
