// refresh() of the history window over seven days with 500 applications on the selected
// day. Target: a median within one frame (16 ms). Run: build/bench/history/history_bench
#include "DayKey.h"
#include "TrafficHistoryWindow.h"
#include "TrafficJson.h"
#include "TrafficRecorder.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QWidget>
#include <benchmark/benchmark.h>
#include <map>
#include <memory>

TrafficDays benchHistory(int dayCount, int appsPerDay);

namespace {

struct Fixture {
    QTemporaryDir dir;
    std::unique_ptr<TrafficRecorder> recorder;
    std::unique_ptr<TrafficHistoryWindow> window;

    explicit Fixture(int apps) {
        TrafficRecorder::Config cfg;
        cfg.dataPath = dir.filePath("traffic.db");
        cfg.load = false;
        const QStringList keys = DayKey::lastDays(QDate::currentDate(), 7);
        QJsonObject top;
        for (int d = 0; d < keys.size(); ++d) {
            QJsonObject appObj;
            const int count = d == keys.size() - 1 ? apps : 20;
            qint64 in = 0, out = 0;
            for (int a = 0; a < count; ++a) {
                const qint64 ai = 1000003LL * (a % 97 + 1) + a;
                const qint64 ao = 70001LL * (a % 13 + 1);
                in += ai;
                out += ao;
                appObj.insert(QStringLiteral("application-%1").arg(a),
                              QJsonObject{{"in", ai}, {"out", ao}});
            }
            top.insert(keys[d], QJsonObject{{"totalIn", in}, {"totalOut", out}, {"apps", appObj}});
        }
        QFile f(dir.filePath("traffic.json")); // moved into the store when it opens
        if (f.open(QIODevice::WriteOnly)) {
            f.write(QJsonDocument(top).toJson());
        }
        f.close();
        cfg.load = true;
        recorder = std::make_unique<TrafficRecorder>(cfg);
        window = std::make_unique<TrafficHistoryWindow>(*recorder);
        QApplication::processEvents();
    }
};

void BM_Refresh500Apps(benchmark::State& state) {
    Fixture fx(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        fx.window->refresh();
    }
    state.SetLabel(std::to_string(state.range(0)) + " applications");
}
BENCHMARK(BM_Refresh500Apps)
    ->Arg(500)
    ->Arg(10)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

// What the user waits for: the refresh, the layout it causes and a paint of the window.
void BM_RefreshAndPaint500Apps(benchmark::State& state) {
    Fixture fx(500);
    QImage img(fx.window->window()->size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        fx.window->refresh();
        QApplication::processEvents();
        fx.window->window()->render(&img);
    }
}
BENCHMARK(BM_RefreshAndPaint500Apps)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

// The same refresh over a store that holds five years (1826 days of 200 applications),
// against an empty store: the cost must not grow with the years kept.
struct StoreFixture {
    QTemporaryDir dir;
    std::unique_ptr<TrafficRecorder> recorder;
    std::unique_ptr<TrafficHistoryWindow> window;

    explicit StoreFixture(int days) {
        TrafficRecorder::Config cfg;
        cfg.dataPath = dir.filePath("traffic.db");
        cfg.toolPath = dir.filePath("no-such-tool");
        if (days > 0) {
            QFile f(dir.filePath("traffic.json"));
            if (f.open(QIODevice::WriteOnly))
                f.write(trafficToJson(benchHistory(days, 200)));
        }
        recorder = std::make_unique<TrafficRecorder>(cfg);
        recorder->waitForSaves();
        window = std::make_unique<TrafficHistoryWindow>(*recorder);
        QApplication::processEvents();
    }
};

void BM_RefreshStore(benchmark::State& state) {
    static std::map<int, std::unique_ptr<StoreFixture>> fixtures;
    auto& fx = fixtures[static_cast<int>(state.range(0))];
    if (!fx)
        fx = std::make_unique<StoreFixture>(static_cast<int>(state.range(0)));
    for (auto _ : state)
        fx->window->refresh();
    state.SetLabel(std::to_string(state.range(0)) + " days stored");
}
BENCHMARK(BM_RefreshStore)
    ->Arg(0)
    ->Arg(1826)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

namespace {

// Five years of 200 applications a day: refresh() of each range, the twelve months reading
// the most (a year of days, and the current month's applications summed).
void BM_RefreshRangeFiveYears(benchmark::State& state) {
    static QTemporaryDir dir;
    static std::unique_ptr<TrafficRecorder> recorder;
    if (!recorder) {
        TrafficRecorder::Config cfg;
        cfg.dataPath = dir.filePath("traffic.json");
        cfg.load = false;
        const QStringList keys = DayKey::lastDays(QDate::currentDate(), 1826);
        QJsonObject top;
        for (int d = 0; d < keys.size(); ++d) {
            QJsonObject apps;
            qint64 in = 0;
            for (int a = 0; a < 200; ++a) {
                const qint64 ai = 1000003LL * ((a + d) % 97 + 1);
                in += ai;
                apps.insert(QStringLiteral("application-%1").arg(a),
                            QJsonObject{{"in", ai}, {"out", ai / 7}});
            }
            top.insert(keys[d], QJsonObject{{"totalIn", in}, {"totalOut", in / 7}, {"apps", apps}});
        }
        QFile f(cfg.dataPath);
        if (f.open(QIODevice::WriteOnly)) {
            f.write(QJsonDocument(top).toJson(QJsonDocument::Compact));
        }
        f.close();
        cfg.load = true;
        recorder = std::make_unique<TrafficRecorder>(cfg);
    }
    TrafficHistoryWindow window(*recorder);
    window.setAllowanceSource([] { return AllowanceSettings{}; });
    const auto range = static_cast<HistoryRange>(state.range(0));
    window.setRange(range);
    QApplication::processEvents();
    for (auto _ : state) {
        window.refresh();
    }
    state.SetLabel(range == HistoryRange::Week    ? "7 days"
                   : range == HistoryRange::Month ? "30 days"
                                                  : "12 months");
}
BENCHMARK(BM_RefreshRangeFiveYears)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

} // namespace
