#include "Sampler.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace {

void pushHistory(std::array<double, SpeedStats::historyMax>& history, double value) {
    std::move(history.begin() + 1, history.end(), history.begin());
    history.back() = value;
}

} // namespace

TickResult sampleTick(SpeedStats& stats, const std::optional<NetTotals>& last,
                      const std::optional<NetTotals>& current, double elapsedSeconds) {
    TickResult r;
    r.readFailed = !current.has_value();
    if (current && last) {
        // No upper bound: a late tick divides by the real interval.
        r.interval = elapsedSeconds > kMinTickInterval ? elapsedSeconds : kMinTickInterval;
        // A lower sum (an interface went away, a counter restarted) counts nothing.
        r.bytes = growthSince(*current, *last);
        r.upRate = static_cast<double>(r.bytes.out) / r.interval;
        r.downRate = static_cast<double>(r.bytes.in) / r.interval;
    }
    stats.uploadSpeed = r.upRate;
    stats.downloadSpeed = r.downRate;
    stats.peakUp = std::max(stats.peakUp, r.upRate);
    stats.peakDown = std::max(stats.peakDown, r.downRate);
    stats.totalUp = saturatingAdd(stats.totalUp, r.bytes.out);
    stats.totalDown = saturatingAdd(stats.totalDown, r.bytes.in);
    pushHistory(stats.upHistory, r.upRate);
    pushHistory(stats.downHistory, r.downRate);
    return r;
}

double Sampler::monotonicSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

Sampler::Sampler(Reader reader, Clock clock)
    : m_reader(std::move(reader)), m_clock(std::move(clock)) {}

void Sampler::start() {
    m_lastTotals = m_reader();
    m_lastTime = m_clock();
}

TickResult Sampler::tick(SpeedStats& stats) {
    const std::optional<NetTotals> current = m_reader();
    const double elapsed = m_clock() - m_lastTime;
    const TickResult r = sampleTick(stats, m_lastTotals, current, elapsed);
    if (current) {
        // A failed read keeps the previous baseline and its time, so the next good
        // reading measures from the last real one.
        m_lastTotals = current;
        m_lastTime = m_clock();
    }
    return r;
}
