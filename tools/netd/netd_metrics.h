#pragma once

// What the counting service tells a Prometheus scraper: one immutable picture of its figures,
// taken after a pass, and its rendering in the text exposition formats. No I/O here.

#include "netd_core.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qfnetd {

struct MetricsSnapshot {
    struct App {
        std::string user; // the login, or the uid where there is none
        std::string app;
        Counters bytes;
    };
    struct Link {
        std::string name;
        bool physical = false;
        bool counted = false; // in the widget's automatic choice
        Counters bytes;
    };
    std::vector<App> apps;
    Counters unattributed;
    std::vector<Link> links;
    std::uint64_t trackedSockets = 0;
    std::uint64_t evictedSockets = 0;
    std::uint64_t lostPackets = 0;
    std::uint64_t uninspectedSockets = 0;
    std::uint64_t foldedApps = 0;
};

enum class MetricsFormat { Prometheus004, OpenMetrics100 };

// OpenMetrics when the scraper's Accept header names it, else the 0.0.4 text format.
MetricsFormat formatFor(std::string_view acceptHeader);
std::string_view contentType(MetricsFormat f);

// A label value as the exposition formats want it: backslash, double quote and line feed
// escaped.
std::string escapeLabel(std::string_view value);

// The whole exposition; the scrape duration is that of the previous scrape, when there was one.
std::string renderMetrics(const MetricsSnapshot& s, MetricsFormat f,
                          std::optional<double> previousScrapeSeconds);

} // namespace qfnetd
