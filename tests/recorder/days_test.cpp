#include "RecorderTestSupport.h"

#include <gtest/gtest.h>

TEST(DayQueries, SortedApps) {
    TempStore store;
    store.write(R"({
      "ties": {"apps": {"d": {"in": 5}, "c": {"out": 5}, "b": {"in": 1, "out": 4},
               "a": {"in": 2}, "e": {"in": 9}, "idle": {}}},
      "huge": {"apps": {"x": {"in": 9223372036854775807, "out": 9223372036854775807},
                        "y": {"in": 9223372036854775807, "out": 9223372036854775807},
                        "z": {"in": 1}}}
    })");
    auto recorder = store.open();

    const auto names = [&](const QString& day) {
        QStringList out;
        for (const AppEntry& e : recorder->sortedApps(day))
            out << e.name;
        return out;
    };
    // Largest first; equal sums keep the day's own order (by name).
    EXPECT_EQ(names("ties"), (QStringList{"e", "b", "c", "d", "a", "idle"}));
    EXPECT_EQ(names("huge"), (QStringList{"x", "y", "z"}));
}
