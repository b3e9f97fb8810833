// Load and save of a five-year traffic file, and parsing one large tool output.
#include "TrafficRecorder.h"
#include "TrafficStore.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <random>

namespace {

constexpr int kDays = 1826;
constexpr int kAppsPerDay = 200;

TrafficDays fiveYears() {
    std::mt19937_64 random(1);
    TrafficDays days;
    const QDate first(2021, 1, 1);
    for (int d = 0; d < kDays; ++d) {
        DailyTraffic day(random() % 50'000'000'000ull, random() % 5'000'000'000ull);
        for (int a = 0; a < kAppsPerDay; ++a)
            day.apps[QStringLiteral("com.example.application%1").arg(a)] =
                AppTraffic(random() % 2'000'000'000ull, random() % 200'000'000ull);
        days[trafficDayKey(first.addDays(d))] = std::move(day);
    }
    return days;
}

struct Fixture {
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("traffic.json"));
    QByteArray text;
    Fixture() {
        text = trafficToJson(fiveYears());
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(text);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

TrafficRecorder::Config configFor(const QString& path, bool load) {
    TrafficRecorder::Config config;
    config.dataPath = path;
    config.load = load;
    return config;
}

// The whole load the program does at start: read, parse, convert.
void BM_LoadFiveYears(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        TrafficRecorder recorder(configFor(f.path, true));
        benchmark::DoNotOptimize(recorder.getDay(QStringLiteral("2021-01-01")));
    }
    state.SetBytesProcessed(state.iterations() * f.text.size());
}
BENCHMARK(BM_LoadFiveYears)->Unit(benchmark::kMillisecond)->MinTime(3);

// The parse alone, for comparison with the conversion's share.
void BM_QtJsonParseOnly(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state)
        benchmark::DoNotOptimize(QJsonDocument::fromJson(f.text));
    state.SetBytesProcessed(state.iterations() * f.text.size());
}
BENCHMARK(BM_QtJsonParseOnly)->Unit(benchmark::kMillisecond)->MinTime(3);

// A save that has something to write: serialise, write to a temporary file, sync, rename.
void BM_SaveFiveYears(benchmark::State& state) {
    Fixture& f = fixture();
    const QString path = f.dir.filePath(QStringLiteral("saved.json"));
    QFile::copy(f.path, path);
    TrafficRecorder recorder(configFor(path, true));
    for (auto _ : state) {
        recorder.recordTotal(1, 1);
        recorder.saveData();
    }
    state.SetBytesProcessed(state.iterations() * f.text.size());
}
BENCHMARK(BM_SaveFiveYears)->Unit(benchmark::kMillisecond)->MinTime(3);

// The same document through QJsonObject and QJsonDocument::toJson, as a baseline.
void BM_QtJsonBuildAndWrite(benchmark::State& state) {
    const TrafficDays days = fiveYears();
    for (auto _ : state) {
        QJsonObject top;
        for (const auto& [key, day] : days) {
            QJsonObject apps;
            for (const auto& [name, app] : day.apps)
                apps.insert(name, QJsonObject{{QStringLiteral("in"), qint64(app.bytesIn)},
                                              {QStringLiteral("out"), qint64(app.bytesOut)}});
            top.insert(key, QJsonObject{{QStringLiteral("totalIn"), qint64(day.totalIn)},
                                        {QStringLiteral("totalOut"), qint64(day.totalOut)},
                                        {QStringLiteral("apps"), apps}});
        }
        benchmark::DoNotOptimize(QJsonDocument(top).toJson(QJsonDocument::Indented));
    }
}
BENCHMARK(BM_QtJsonBuildAndWrite)->Unit(benchmark::kMillisecond)->MinTime(3);

QString toolOutput(int lines) {
    std::mt19937_64 random(2);
    QString out = QStringLiteral(
        "time,,interface,state,bytes_in,bytes_out,rx_dupe,rx_ooo,re-tx,rtt_avg,rcvsize,tx_win,"
        "tc_class,tc_mgt,cc_algo,P,C,R,W,arch,\n");
    for (int i = 0; i < lines; ++i)
        out += QStringLiteral("18:21:35.556852,%1.%2,,,%3,%4,0,0,0,,,,,,,,,,,,\n")
                   .arg(i % 7 == 0 ? QStringLiteral("Code Helper (Pl")
                                   : QStringLiteral("com.example.process%1").arg(i % 300))
                   .arg(1000 + i)
                   .arg(random() % 10'000'000'000ull)
                   .arg(random() % 1'000'000'000ull);
    return out;
}

void BM_ParseNettop2000Lines(benchmark::State& state) {
    const QString output = toolOutput(2000);
    for (auto _ : state)
        benchmark::DoNotOptimize(TrafficRecorder::parseNettop(output));
    // Throughput in bytes of the tool's UTF-8 output, as it leaves the pipe.
    state.SetBytesProcessed(state.iterations() * output.toUtf8().size());
}
BENCHMARK(BM_ParseNettop2000Lines)->MinTime(2);

} // namespace

BENCHMARK_MAIN();
