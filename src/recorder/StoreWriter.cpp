#include "StoreWriter.h"

namespace {

// Folds an older batch under a newer one: the newer figures win.
void mergeUnder(TrafficDays& newer, TrafficDays&& older) {
    for (auto& [key, day] : older) {
        auto [it, inserted] = newer.try_emplace(key, std::move(day));
        if (!inserted)
            it->second.apps.merge(day.apps);
    }
}

} // namespace

StoreWriter::StoreWriter(QString path, TrafficDb::OpenOptions options)
    : m_path(std::move(path)), m_options(std::move(options)), m_thread([this] { run(); }) {}

StoreWriter::~StoreWriter() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void StoreWriter::save(TrafficDays changes, std::uint64_t generation) {
    if (m_path.isEmpty())
        return; // no store: memory is all there is
    {
        std::lock_guard lock(m_mutex);
        for (auto& [key, day] : changes) {
            auto [it, inserted] = m_pending.try_emplace(key, std::move(day));
            if (!inserted) {
                it->second.total.in = day.total.in;
                it->second.total.out = day.total.out;
                for (auto& [name, app] : day.apps)
                    it->second.apps[name] = app;
            }
        }
        m_pendingGeneration = generation;
        m_attempt = true;
    }
    m_wake.notify_all();
}

void StoreWriter::waitReady() {
    std::unique_lock lock(m_mutex);
    m_settled.wait(lock, [this] { return isReady(); });
}

void StoreWriter::waitIdle() {
    std::unique_lock lock(m_mutex);
    m_settled.wait(lock, [this] { return isReady() && !m_attempt && !m_busy; });
}

void StoreWriter::close() {
    {
        std::lock_guard lock(m_mutex);
        m_close = true;
    }
    m_wake.notify_all();
    std::unique_lock lock(m_mutex);
    m_settled.wait(lock, [this] { return !m_close; });
}

bool StoreWriter::ensureOpen() {
    if (m_db || m_path.isEmpty())
        return m_db != nullptr;
    QString why;
    m_db = TrafficDb::openForWriting(m_path, m_options, &why);
    if (!m_db) {
        report(false, why);
        return false;
    }
    // Only the first opening starts afresh or moves an old file in: a later one must keep
    // what this run has written.
    m_options = {};
    m_openings.fetch_add(1, std::memory_order_acq_rel);
    return true;
}

bool StoreWriter::write(const TrafficDays& batch) {
    // Writing on into a file that was removed or replaced under us would lose every figure
    // with it: a store is made again at the path, and the main thread, seeing the new
    // opening, hands over its days whole.
    if (m_db && m_db->database().fileHasMoved()) {
        qCWarning(lcStore, "%s was removed or replaced while in use; starting it again",
                  qUtf8Printable(m_path));
        m_db.reset();
    }
    if (!ensureOpen())
        return false;
    if (batch.empty() || m_db->merge(batch))
        return true;
    if (!m_db->database().errorIsCorrupt()) {
        report(false, m_db->lastError());
        return false;
    }
    // Damaged under us: keep the damaged file aside and carry on in a fresh store. The main
    // thread sees the new opening and hands over its whole days again.
    qCWarning(lcStore, "%s became unreadable (%s)", qUtf8Printable(m_path),
              qUtf8Printable(m_db->lastError()));
    m_db.reset();
    const QString aside = trafficMoveAside(m_path, "unreadable", true);
    if (aside.isEmpty()) {
        report(false, QStringLiteral("%1 is damaged and cannot be moved aside").arg(m_path));
        return false;
    }
    qCWarning(lcStore, "kept the damaged history as %s", qUtf8Printable(aside));
    return ensureOpen() && m_db->merge(batch);
}

void StoreWriter::report(bool ok, const QString& why) {
    m_state.report(ok ? QString()
                      : QStringLiteral("cannot save the traffic history: %1; the figures are kept "
                                       "in memory and saved at the next attempt")
                            .arg(why));
    m_failing.store(!ok, std::memory_order_release);
}

void StoreWriter::run() {
    ensureOpen();
    {
        std::lock_guard lock(m_mutex);
        m_ready.store(true, std::memory_order_release);
    }
    m_settled.notify_all();
    for (;;) {
        TrafficDays batch;
        std::uint64_t generation = 0;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stop || m_attempt || m_close; });
            if (!m_attempt && m_close) {
                m_db.reset();
                m_close = false;
                lock.unlock();
                m_settled.notify_all();
                continue;
            }
            if (!m_attempt)
                return; // stopping with nothing left to try
            batch = std::move(m_pending);
            m_pending.clear();
            generation = m_pendingGeneration;
            m_attempt = false;
            m_busy = true;
        }
        const bool ok = write(batch);
        if (ok)
            report(true, {});
        {
            std::lock_guard lock(m_mutex);
            if (ok)
                m_saved.store(generation, std::memory_order_release);
            else
                mergeUnder(m_pending, std::move(batch));
            m_busy = false;
        }
        m_settled.notify_all();
    }
}
