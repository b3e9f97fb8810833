#pragma once

#include "Logging.h"
#include "StateReporter.h"
#include "TrafficDb.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

// The one thread that writes the traffic store, so that the main thread never waits on the
// disk. It opens the store (moving in an old traffic file, setting a damaged one aside),
// then writes each batch of changed days it is handed in one transaction. A batch that
// cannot be written (disk full, read-only directory) stays here and is tried again with the
// next one; the failure is said once, and its end once. A file removed or replaced under it
// is found at the next save and made again. With no path there is no store: saves are dropped.
class StoreWriter {
public:
    StoreWriter(QString path, TrafficDb::OpenOptions options);
    // Writes what was handed over, then stops.
    ~StoreWriter();
    StoreWriter(const StoreWriter&) = delete;
    StoreWriter& operator=(const StoreWriter&) = delete;

    // Days with their current figures (totals, and the applications that changed); a later
    // hand-over of the same day or application supersedes an earlier one.
    void save(TrafficDays changes, std::uint64_t generation);

    // Whether the first opening has finished, and waiting for it.
    bool isReady() const { return m_ready.load(std::memory_order_acquire); }
    void waitReady();
    // Until every hand-over so far has been tried.
    void waitIdle();
    // Writes what was handed over and closes the store until the next save opens it again.
    void close();

    // The latest generation whose changes are all on disk.
    std::uint64_t savedGeneration() const { return m_saved.load(std::memory_order_acquire); }
    // Counts each time a store was opened: a change after the first means a fresh store,
    // which needs whole days rather than changes.
    std::uint64_t openings() const { return m_openings.load(std::memory_order_acquire); }
    bool failing() const { return m_failing.load(std::memory_order_acquire); }

private:
    void run();
    bool ensureOpen();
    bool write(const TrafficDays& batch);
    void report(bool ok, const QString& why);

    const QString m_path;
    TrafficDb::OpenOptions m_options; // the writer thread's after the start
    std::unique_ptr<TrafficDb> m_db;  // the writer thread's alone

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_settled;
    TrafficDays m_pending;
    std::uint64_t m_pendingGeneration = 0;
    bool m_attempt = false;
    bool m_busy = false;
    bool m_stop = false;
    bool m_close = false;

    std::atomic<bool> m_ready{false};
    std::atomic<bool> m_failing{false};
    StateReporter m_state{lcStore(),
                          QStringLiteral("the traffic history is saved again")}; // writer thread
    std::atomic<std::uint64_t> m_saved{0};
    std::atomic<std::uint64_t> m_openings{0};
    std::thread m_thread;
};
