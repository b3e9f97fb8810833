#pragma once

#include <QString>

#include <cstdint>
#include <map>

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
using AppSample = std::map<QString, AppCounters>;
