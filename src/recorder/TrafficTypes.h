#pragma once

#include <QString>
#include <cstdint>
#include <map>
#include <vector>

// One application's bytes on one day.
struct AppTraffic {
    std::uint64_t bytesIn = 0;
    std::uint64_t bytesOut = 0;

    AppTraffic() = default;
    AppTraffic(std::uint64_t in, std::uint64_t out = 0) : bytesIn(in), bytesOut(out) {}
    friend bool operator==(const AppTraffic&, const AppTraffic&) = default;
};

// One day: the machine's totals and its applications. The two come from separate sources
// (the one-second tick and the per-application tool); neither is derived from the other.
struct DailyTraffic {
    std::uint64_t totalIn = 0;
    std::uint64_t totalOut = 0;
    std::map<QString, AppTraffic> apps;

    DailyTraffic() = default;
    DailyTraffic(std::uint64_t in, std::uint64_t out = 0, std::map<QString, AppTraffic> a = {})
        : totalIn(in), totalOut(out), apps(std::move(a)) {}
    friend bool operator==(const DailyTraffic&, const DailyTraffic&) = default;
};

// One application in a day's breakdown, as sortedApps returns it.
struct AppEntry {
    QString name;
    AppTraffic traffic;
};

// Received and sent counters of one application in one run of the per-process tool.
struct AppCounters {
    std::uint64_t in = 0;
    std::uint64_t out = 0;
    friend bool operator==(const AppCounters&, const AppCounters&) = default;
};
// Per application name: counters summed over its processes, or growth credited to it.
using AppSample = std::map<QString, AppCounters>;

// One line of the tool's output: a process, under the name it has now.
struct ProcessCounters {
    QString name;
    AppCounters counters;
    // The text after the last "." of the tool's process field (its process identifier).
    QString id;
    friend bool operator==(const ProcessCounters&, const ProcessCounters&) = default;
};
// Every process one successful run of the tool listed, in the order it listed them.
using ProcessSample = std::vector<ProcessCounters>;
