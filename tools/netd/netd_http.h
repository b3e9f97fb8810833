#pragma once

// The Prometheus endpoint: GET /metrics, served by libmicrohttpd from a thread of its own. The
// counting loop hands it a finished snapshot after each pass and never waits for a scrape.

#include "netd_metrics.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

struct MHD_Daemon;

namespace qfnetd {

class MetricsEndpoint {
public:
    // Listens on "HOST:PORT" (a numeric IPv4 address, or [IPv6]:PORT); port 0 takes a free one.
    explicit MetricsEndpoint(const std::string& address);
    ~MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    // Why it is not serving; empty when it is.
    const std::string& why() const { return m_why; }
    // The address it listens on, with the port it got.
    const std::string& bound() const { return m_bound; }

    void publish(std::shared_ptr<const MetricsSnapshot> snapshot);
    // The answer to one scrape, from the latest snapshot (called on the server's thread).
    std::string scrape(MetricsFormat f);

private:
    std::mutex m_mutex; // held only to swap or copy the pointer
    std::shared_ptr<const MetricsSnapshot> m_latest;
    std::atomic<std::int64_t> m_lastScrapeNs{-1};
    MHD_Daemon* m_daemon = nullptr;
    std::string m_why, m_bound;
};

} // namespace qfnetd
