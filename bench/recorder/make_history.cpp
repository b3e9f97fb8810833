// Writes a traffic history in the JSON format for benchmarks: DAYS days ending yesterday,
// APPS applications each, with figures of realistic size.
//   quillfern_bench_make_history FILE DAYS APPS
#include "DayKey.h"
#include "TrafficJson.h"

#include <QDate>
#include <QFile>
#include <cstdio>
#include <cstdlib>
#include <random>

TrafficDays benchHistory(int dayCount, int appsPerDay) {
    std::mt19937_64 random(1);
    TrafficDays days;
    const QDate first = QDate::currentDate().addDays(-dayCount);
    for (int d = 0; d < dayCount; ++d) {
        DailyTraffic day{{random() % 50'000'000'000ull, random() % 5'000'000'000ull}, {}};
        for (int a = 0; a < appsPerDay; ++a)
            day.apps[QStringLiteral("com.example.application%1").arg(a)] =
                AppTraffic{random() % 2'000'000'000ull, random() % 200'000'000ull};
        days[DayKey::format(first.addDays(d))] = std::move(day);
    }
    return days;
}

#ifndef QUILLFERN_NO_MAIN
int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s FILE DAYS APPS\n", argv[0]);
        return 2;
    }
    QFile file(QString::fromLocal8Bit(argv[1]));
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    const QByteArray text = trafficToJson(benchHistory(std::atoi(argv[2]), std::atoi(argv[3])));
    return file.write(text) == text.size() ? 0 : 1;
}
#endif
