#pragma once

#include "HistorySource.h"

#include <map>

// Figures by day, as the recorder would answer them, with a "today" the test moves.
class FakeHistorySource : public HistorySource {
public:
    QDate now;
    std::map<QDate, ByteCounts> days;
    std::map<QDate, std::vector<AppEntry>> dayApps;

    QDate today() const override { return now; }
    ByteCounts totals(QDate first, QDate last) const override {
        ByteCounts t;
        for (auto it = days.lower_bound(first); it != days.end() && it->first <= last; ++it)
            t += it->second;
        return t;
    }
    std::vector<AppEntry> apps(QDate first, QDate last) const override {
        std::vector<std::vector<AppEntry>> span;
        for (auto it = dayApps.lower_bound(first); it != dayApps.end() && it->first <= last; ++it)
            span.push_back(it->second);
        return historySumApps(span);
    }
};
