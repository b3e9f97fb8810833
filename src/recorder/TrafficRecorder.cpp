#include "TrafficRecorder.h"

#include "AppSampling.h"
#include "Logging.h"
#include "NettopRunner.h"
#include "Saturating.h"
#include "StateReporter.h"
#include "TrafficStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <memory>
#include <sys/stat.h>


namespace {

constexpr auto kFallbackPath = "/tmp/quillfern_traffic.json";

// The directory that holds the traffic file reveals which programs the user runs: when we
// create it, only the user may enter it. An existing directory keeps its mode.
void ensurePrivateDirectory(const QString& dir) {
    if (dir.isEmpty() || QFileInfo::exists(dir))
        return;
    QDir().mkpath(QFileInfo(dir).path());
    ::mkdir(QFile::encodeName(dir).constData(), 0700);
}

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
    TrafficDays data;
    // Every process of the last good run of the tool; none before the first and after a
    // failed one.
    std::optional<ProcessSample> appReference;
    // Why the last finished run of the tool failed; empty while runs succeed.
    QTimer* saveTimer = nullptr;
    QTimer* appSampleTimer = nullptr;

    // False only while the file holds exactly what `data` holds.
    bool dirty = true;
    // Set when an unreadable file could not be moved aside: it must never be overwritten.
    bool saveBlocked = false;
    // Failures said once each, again when they change (main thread only).
    StateReporter saveState{lcStore(), QStringLiteral("saving works again")};
    StateReporter toolState{lcTool(), QStringLiteral("the per-process tool works again")};

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

    void load();
    bool moveAside();
};

QString TrafficRecorder::Impl::today() {
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    // A clock set back counts as a change too.
    if (now >= cachedFromMs && now < cachedUntilMs)
        return cachedDay;
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(now);
    cachedDay = trafficDayKey(local.date());
    const qint64 midnight = QDateTime(local.date().addDays(1), QTime(0, 0)).toMSecsSinceEpoch();
    cachedFromMs = now;
    cachedUntilMs = std::min(midnight, now + 60 * 1000);
    return cachedDay;
}

void TrafficRecorder::Impl::load() {
    const QFileInfo info(dataPath);
    if (!info.exists() && !info.isSymLink())
        return; // a first run: nothing to keep
    QFile file(dataPath);
    bool readable = false;
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly)) {
        bytes = file.readAll();
        readable = file.error() == QFileDevice::NoError;
    }
    if (readable && bytes.trimmed().isEmpty())
        return; // holds nothing worth keeping; the next save writes an empty object
    if (readable && trafficFromJson(bytes, data) == TrafficParse::Ok) {
        dirty = false;
        return;
    }
    data.clear();
    // The user's whole history may be in there: keep it under another name before the first
    // save can replace it, and refuse to save if that is impossible.
    if (!moveAside())
        saveBlocked = true;
}

bool TrafficRecorder::Impl::moveAside() {
    const QString stamp =
        QLocale::c().toString(QDateTime::currentDateTime(), QStringLiteral("yyyyMMdd-HHmmss"));
    const QString base = dataPath + QStringLiteral(".unreadable-") + stamp;
    for (int attempt = 1; attempt <= 100; ++attempt) {
        const QString target = attempt == 1 ? base : base + QStringLiteral("-%1").arg(attempt);
        if (QFileInfo::exists(target) || QFileInfo(target).isSymLink())
            continue;
        if (!QFile::rename(dataPath, target))
            break;
        qCWarning(lcStore).noquote() << "could not read" << dataPath << "- kept it as" << target;
        return true;
    }
    return false;
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

TrafficRecorder::Config TrafficRecorder::defaultConfig() {
    Config config;
    const QStringList dirs = QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation);
    if (!dirs.isEmpty() && !dirs.first().isEmpty()) {
        config.dataPath = dirs.first() + QStringLiteral("/Quillfern/traffic.json");
        config.load = true;
    } else {
        config.dataPath = QString::fromLatin1(kFallbackPath);
        config.load = false;
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
    const bool hasPath = !config.dataPath.isEmpty();
    d->dataPath = hasPath ? config.dataPath : QString::fromLatin1(kFallbackPath);
    if (hasPath)
        ensurePrivateDirectory(QFileInfo(d->dataPath).path());
    if (hasPath && config.load)
        d->load();
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
    delete d;
}

QString TrafficRecorder::dataPath() const {
    return d->dataPath;
}

void TrafficRecorder::saveData() {
    if (d->saveBlocked) {
        d->saveState.report(QStringLiteral("not saving: %1 could not be read nor moved aside, "
                                           "so it is left as it is")
                                .arg(d->dataPath));
        return;
    }
    if (!d->dirty && QFileInfo::exists(d->dataPath))
        return;
    const QByteArray bytes = trafficToJson(d->data);
    QSaveFile file(d->dataPath);
    file.setDirectWriteFallback(false);
    const auto failed = [&] {
        d->saveState.report(
            QStringLiteral("could not save %1: %2").arg(d->dataPath, file.errorString()));
    };
    if (!file.open(QIODevice::WriteOnly)) {
        failed();
        return;
    }
    // Before any byte is written, so the content is never readable by others.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(bytes) != bytes.size()) {
        failed();
        file.cancelWriting();
        return;
    }
    if (!file.commit()) {
        failed();
        return;
    }
    d->dirty = false;
    d->saveState.clear();
}

QString TrafficRecorder::dateString(const QDateTime& instant) {
    return trafficDayKey(instant.toLocalTime().date());
}

QString TrafficRecorder::todayString() {
    return dateString(QDateTime::currentDateTime());
}

QString TrafficRecorder::displayDate(const QString& dayKey) {
    const QDate date = trafficParseDayKey(dayKey);
    if (!date.isValid())
        return dayKey;
    return QString::asprintf("%d/%d", date.month(), date.day());
}

void TrafficRecorder::recordTotal(std::uint64_t dUp, std::uint64_t dDown) {
    auto [it, inserted] = d->data.try_emplace(d->today());
    DailyTraffic& day = it->second;
    const std::uint64_t oldIn = day.totalIn;
    const std::uint64_t oldOut = day.totalOut;
    day.totalOut = saturatingAdd(day.totalOut, dUp);
    day.totalIn = saturatingAdd(day.totalIn, dDown);
    if (inserted || day.totalIn != oldIn || day.totalOut != oldOut)
        d->dirty = true;
}

std::optional<DailyTraffic> TrafficRecorder::getDay(const QString& dayKey) const {
    const auto it = d->data.find(dayKey);
    if (it == d->data.end())
        return std::nullopt;
    return it->second;
}

std::optional<DailyTraffic> TrafficRecorder::getToday() const {
    return getDay(d->today());
}

QStringList TrafficRecorder::recentDays(int count) const {
    return trafficRecentDays(QDateTime::currentDateTime(), count);
}

std::vector<AppEntry> TrafficRecorder::sortedApps(const QString& dayKey) const {
    std::vector<AppEntry> entries;
    const auto it = d->data.find(dayKey);
    if (it == d->data.end())
        return entries;
    const auto total = [](const AppTraffic& t) { return saturatingAdd(t.bytesIn, t.bytesOut); };
    std::uint64_t sum = 0;
    for (const auto& [name, traffic] : it->second.apps)
        sum = saturatingAdd(sum, total(traffic));
    if (sum == 0)
        return entries;
    entries.reserve(it->second.apps.size());
    for (const auto& [name, traffic] : it->second.apps)
        entries.push_back({name, traffic});
    std::stable_sort(entries.begin(), entries.end(), [&](const AppEntry& a, const AppEntry& b) {
        return total(a.traffic) > total(b.traffic);
    });
    return entries;
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
    saveData();
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
                [this, sample = std::move(sample), failure = std::move(run.failure),
                 program] {
                    d->toolState.report(failure.isEmpty() ? QString() : program + u' ' + failure);
                    processAppSample(sample);
                    emit sampleApplied();
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

AppSample TrafficRecorder::parseNettop(const QString& output) {
    return appSumByName(appParseProcesses(output));
}

void TrafficRecorder::processAppSample(const std::optional<ProcessSample>& run) {
    auto [dayIt, inserted] = d->data.try_emplace(d->today());
    if (inserted)
        d->dirty = true;
    DailyTraffic& day = dayIt->second;
    AppSampleStep step = appSampleStep(d->appReference, run);
    for (const auto& [name, grown] : step.growth) {
        AppTraffic& app = day.apps[name];
        app.bytesIn = saturatingAdd(app.bytesIn, grown.in);
        app.bytesOut = saturatingAdd(app.bytesOut, grown.out);
        d->dirty = true;
    }
    d->appReference = std::move(step.reference);
}

