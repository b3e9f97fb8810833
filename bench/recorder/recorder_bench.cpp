// The traffic store over a five-year history (1826 days, 200 applications a day), beside an
// empty one, and parsing one large tool output.
// Targets: a save of one minute's changes writes at most 64 KiB; the history window's reads
// take well under 5 ms; an export of five years takes at most 1 s.
#include "AppSampling.h"
#include "DayKey.h"
#include "TrafficDb.h"
#include "TrafficJson.h"
#include "TrafficRecorder.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <random>

TrafficDays benchHistory(int dayCount, int appsPerDay);

namespace {

constexpr int kDays = 1826;
constexpr int kAppsPerDay = 200;

std::uint64_t bytesWritten() {
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : io.readAll().split('\n')) {
        if (line.startsWith("wchar:"))
            return line.mid(6).trimmed().toULongLong();
    }
    return 0;
}

TrafficRecorder::Config configFor(const QString& path) {
    TrafficRecorder::Config config;
    config.dataPath = path;
    config.toolPath = QStringLiteral("/nonexistent");
    return config;
}

// One store moved in from a five-year traffic file, and one empty store.
struct Fixture {
    QTemporaryDir dir;
    QString full = dir.filePath(QStringLiteral("full/traffic.db"));
    QString empty = dir.filePath(QStringLiteral("empty/traffic.db"));
    QByteArray json;
    double importSeconds = 0;
    Fixture() {
        json = trafficToJson(benchHistory(kDays, kAppsPerDay));
        QDir().mkpath(dir.filePath(QStringLiteral("full")));
        QFile file(trafficLegacyJsonPath(full));
        file.open(QIODevice::WriteOnly);
        file.write(json);
        file.close();
        QElapsedTimer clock;
        clock.start();
        TrafficRecorder(configFor(full)).waitForSaves();
        importSeconds = clock.nsecsElapsed() / 1e9;
        TrafficRecorder(configFor(empty)).waitForSaves();
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

const QString& storeFor(const benchmark::State& state) {
    return state.range(0) ? fixture().full : fixture().empty;
}

// The move-in of the five-year file at the first start, on the writer thread.
void BM_MoveInFiveYears(benchmark::State& state) {
    for (auto _ : state)
        state.SetIterationTime(fixture().importSeconds);
    state.SetBytesProcessed(state.iterations() * fixture().json.size());
}
BENCHMARK(BM_MoveInFiveYears)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// What start-up does on the main thread: create the recorder and record the first tick.
void BM_StartRecorder(benchmark::State& state) {
    for (auto _ : state) {
        TrafficRecorder recorder(configFor(storeFor(state)));
        recorder.recordTotal({1, 1});
        state.PauseTiming();
        recorder.waitForSaves();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_StartRecorder)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The reads of one history refresh: today, seven days, the selected day's applications.
void BM_HistoryReads(benchmark::State& state) {
    TrafficRecorder recorder(configFor(storeFor(state)));
    recorder.recordTotal({1, 1});
    for (auto _ : state) {
        benchmark::DoNotOptimize(recorder.getToday());
        const QStringList keys = DayKey::lastDays(QDate::currentDate(), 7);
        for (const QString& key : keys)
            benchmark::DoNotOptimize(recorder.getDay(key));
        benchmark::DoNotOptimize(recorder.getDay(keys.first()));
        benchmark::DoNotOptimize(recorder.sortedApps(keys.first()));
    }
}
BENCHMARK(BM_HistoryReads)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// A year of days and of applications summed, as a range selector would ask.
void BM_SumOneYear(benchmark::State& state) {
    TrafficRecorder recorder(configFor(storeFor(state)));
    const QString to = DayKey::today();
    const QString from = DayKey::format(QDate::currentDate().addDays(-365));
    for (auto _ : state) {
        benchmark::DoNotOptimize(recorder.daysBetween(from, to));
        benchmark::DoNotOptimize(recorder.sumBetween(from, to));
    }
}
BENCHMARK(BM_SumOneYear)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// One minute's save: today's totals and 20 applications changed. Counts the bytes the
// process handed to the kernel for it.
void BM_SaveOneMinute(benchmark::State& state) {
    TrafficRecorder recorder(configFor(storeFor(state)));
    // One process per application; the first run only sets the reference, the second
    // credits every application, so the day starts with all of them.
    ProcessSample sample;
    for (int a = 0; a < kAppsPerDay; ++a)
        sample.push_back({QStringLiteral("com.example.application%1").arg(a),
                          {0, 0},
                          QString::number(1000 + a)});
    recorder.processAppSample(sample);
    for (ProcessCounters& p : sample)
        p.counters = {1, 1};
    recorder.processAppSample(sample);
    recorder.saveData();
    recorder.waitForSaves();
    std::uint64_t bytes = 0;
    for (auto _ : state) {
        for (int a = 0; a < 20; ++a) {
            ByteCounts& counters = sample[static_cast<std::size_t>(a * 7)].counters;
            counters.in += 1000;
            counters.out += 100;
        }
        recorder.recordTotal({1000, 100});
        recorder.processAppSample(sample);
        const std::uint64_t before = bytesWritten();
        recorder.saveData();
        recorder.waitForSaves();
        bytes += bytesWritten() - before;
    }
    state.counters["bytes_per_save"] =
        benchmark::Counter(static_cast<double>(bytes) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_SaveOneMinute)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_ExportFiveYears(benchmark::State& state) {
    QByteArray out;
    for (auto _ : state) {
        QBuffer buffer(&out);
        buffer.open(QIODevice::WriteOnly);
        QString error;
        if (!trafficExportJson(fixture().full, buffer, &error))
            state.SkipWithError(qPrintable(error));
        state.SetBytesProcessed(state.bytes_processed() + out.size());
    }
}
BENCHMARK(BM_ExportFiveYears)->Unit(benchmark::kMillisecond)->MinTime(2);

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
        benchmark::DoNotOptimize(appParseProcesses(output));
    // Throughput in bytes of the tool's UTF-8 output, as it leaves the pipe.
    state.SetBytesProcessed(state.iterations() * output.toUtf8().size());
}
BENCHMARK(BM_ParseNettop2000Lines)->MinTime(2);

} // namespace

BENCHMARK_MAIN();
