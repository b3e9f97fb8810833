// One sample's cost: parsing a large tool output and matching it process by process against
// the previous run, and starting the tool in its guarded process group against a plain QProcess.
#include "AppSampling.h"
#include "ToolProcess.h"

#include <QProcess>
#include <benchmark/benchmark.h>
#include <random>

namespace {

// 2000 processes under 300 names, as the tool prints them.
QString toolOutput(std::uint64_t grow) {
    std::mt19937_64 random(7);
    QString out = QStringLiteral("time,,interface,state,bytes_in,bytes_out,\n");
    for (int i = 0; i < 2000; ++i)
        out += QStringLiteral("18:21:35.556852,com.example.process%1.%2,,,%3,%4,,,,,,,,,,,,,,,\n")
                   .arg(i % 300)
                   .arg(1000 + i)
                   .arg(random() % 10'000'000'000ull + grow)
                   .arg(random() % 1'000'000'000ull + grow);
    return out;
}

void BM_Parse2000Processes(benchmark::State& state) {
    const QString output = toolOutput(0);
    for (auto _ : state)
        benchmark::DoNotOptimize(appParseProcesses(output));
}
BENCHMARK(BM_Parse2000Processes)->MinTime(2);

void BM_ParseAndCredit2000Processes(benchmark::State& state) {
    const std::optional<ProcessSample> reference = appParseProcesses(toolOutput(0));
    const QString output = toolOutput(1000);
    for (auto _ : state)
        benchmark::DoNotOptimize(appSampleStep(reference, appParseProcesses(output)));
}
BENCHMARK(BM_ParseAndCredit2000Processes)->MinTime(2);

void BM_QProcessRunsTrue(benchmark::State& state) {
    for (auto _ : state) {
        QProcess process;
        process.start(QStringLiteral("/bin/true"), {});
        process.waitForFinished();
        benchmark::DoNotOptimize(process.readAllStandardOutput());
    }
}
BENCHMARK(BM_QProcessRunsTrue)->Unit(benchmark::kMillisecond)->MinTime(2);

void BM_GuardedGroupRunsTrue(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(toolRun(QStringLiteral("/bin/true"), {}, 10000, 1 << 20));
}
BENCHMARK(BM_GuardedGroupRunsTrue)->Unit(benchmark::kMillisecond)->MinTime(2);

} // namespace

BENCHMARK_MAIN();
