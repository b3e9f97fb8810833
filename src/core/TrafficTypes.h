#pragma once

#include "ByteCounts.h"

#include <QString>
#include <algorithm>
#include <map>
#include <vector>

// One application's bytes on one day.
using AppTraffic = ByteCounts;

// One day: the machine's totals and its applications. The two come from separate sources
// (the one-second tick and the per-application tool); neither is derived from the other.
struct DailyTraffic {
    ByteCounts total;
    std::map<QString, AppTraffic> apps;

    DailyTraffic& operator+=(const DailyTraffic& more) {
        total += more.total;
        for (const auto& [name, app] : more.apps)
            apps[name] += app;
        return *this;
    }
    friend bool operator==(const DailyTraffic&, const DailyTraffic&) = default;
};

// One application in a breakdown.
struct AppEntry {
    QString name;
    AppTraffic traffic;
};

// Largest total first, ties by name.
inline std::vector<AppEntry> appsByTotal(const std::map<QString, AppTraffic>& apps) {
    std::vector<AppEntry> entries;
    entries.reserve(apps.size());
    for (const auto& [name, traffic] : apps)
        entries.push_back({name, traffic});
    std::stable_sort(entries.begin(), entries.end(), [](const AppEntry& a, const AppEntry& b) {
        return a.traffic.total() > b.traffic.total();
    });
    return entries;
}

// Per application name: bytes summed over its processes, or growth credited to it.
using AppSample = std::map<QString, ByteCounts>;

// One line of the tool's output: a process, under the name it has now.
struct ProcessCounters {
    QString name;
    ByteCounts counters;
    // The text after the last "." of the tool's process field (its process identifier).
    QString id;
    friend bool operator==(const ProcessCounters&, const ProcessCounters&) = default;
};
// Every process one successful run of the tool listed, in the order it listed them.
using ProcessSample = std::vector<ProcessCounters>;
