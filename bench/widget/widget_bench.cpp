#include "BsdInterfaceList.h"
#include "NetCounters.h"
#include "Sampler.h"
#include "SpeedView.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/if_link.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

void BM_ReadNetTotals(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(tryReadNetTotals());
    }
}
BENCHMARK(BM_ReadNetTotals);

void BM_ReadNetTotalsProcFallback(benchmark::State& state) {
    netForceProcFallback(true);
    for (auto _ : state) {
        benchmark::DoNotOptimize(tryReadNetTotals());
    }
    netForceProcFallback(false);
}
BENCHMARK(BM_ReadNetTotalsProcFallback);

// Baseline: the text file kept open, rewound and read to end of file (no parsing).
void BM_ProcNetDevRead(benchmark::State& state) {
    const int fd = ::open("/proc/net/dev", O_RDONLY | O_CLOEXEC);
    std::string text;
    char chunk[4096];
    for (auto _ : state) {
        ::lseek(fd, 0, SEEK_SET);
        text.clear();
        ssize_t n;
        while ((n = ::read(fd, chunk, sizeof chunk)) > 0) {
            text.append(chunk, static_cast<std::size_t>(n));
        }
        benchmark::DoNotOptimize(text.data());
    }
    ::close(fd);
}
BENCHMARK(BM_ProcNetDevRead);

// Baseline only: getifaddrs' counters are 32-bit on Linux, so the program never uses it.
void BM_Getifaddrs(benchmark::State& state) {
    for (auto _ : state) {
        ifaddrs* list = nullptr;
        std::uint64_t in = 0;
        if (::getifaddrs(&list) == 0) {
            for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
                if (a->ifa_addr != nullptr && a->ifa_addr->sa_family == AF_PACKET &&
                    a->ifa_data != nullptr) {
                    in += static_cast<const rtnl_link_stats*>(a->ifa_data)->rx_bytes;
                }
            }
            ::freeifaddrs(list);
        }
        benchmark::DoNotOptimize(in);
    }
}
BENCHMARK(BM_Getifaddrs);

void BM_WalkInterfaceList64(benchmark::State& state) {
    std::vector<unsigned char> buf(64 * bsdlist::kRecordSize);
    for (int i = 0; i < 64; ++i) {
        unsigned char* r = &buf[static_cast<std::size_t>(i) * bsdlist::kRecordSize];
        const std::uint16_t len = bsdlist::kRecordSize;
        const std::uint64_t in = 1000u * static_cast<std::uint64_t>(i), out = 7u * in;
        std::memcpy(r, &len, 2);
        r[bsdlist::kOffType] = bsdlist::kTypeInterfaceInfo;
        r[bsdlist::kOffIfType] = i == 0 ? bsdlist::kIfTypeLoopback : bsdlist::kIfTypeEthernet;
        std::memcpy(r + bsdlist::kOffInBytes, &in, 8);
        std::memcpy(r + bsdlist::kOffOutBytes, &out, 8);
    }
    for (auto _ : state) {
        ByteCounts sum;
        netWalkInterfaceRecords(buf.data(), buf.size(), [&sum](const bsdlist::Record& r) {
            if (r.ifType != bsdlist::kIfTypeLoopback)
                sum += {r.inBytes, r.outBytes};
        });
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(BM_WalkInterfaceList64);

// The whole tick as the timer runs it: a real read plus the arithmetic.
void BM_SamplerTick(benchmark::State& state) {
    Sampler sampler;
    sampler.start();
    SpeedStats stats;
    for (auto _ : state) {
        benchmark::DoNotOptimize(sampler.tick(stats));
    }
}
BENCHMARK(BM_SamplerTick);

// The arithmetic alone, with two fixed readings.
void BM_SampleTickArithmetic(benchmark::State& state) {
    SpeedStats stats;
    const std::optional<NetTotals> last = NetTotals{1000, 2000};
    const std::optional<NetTotals> current = NetTotals{5000, 9000};
    for (auto _ : state) {
        benchmark::DoNotOptimize(sampleTick(stats, last, current, 1.0));
    }
}
BENCHMARK(BM_SampleTickArithmetic);

SpeedView& busyView() {
    static SpeedView view;
    SpeedStats s;
    s.uploadSpeed = 123456;
    s.downloadSpeed = 7654321;
    for (int i = 0; i < SpeedStats::historyMax; ++i) {
        s.upHistory[i] = 1000.0 * (i % 7);
        s.downHistory[i] = 5000.0 * (i % 11);
    }
    view.setStats(s);
    return view;
}

// One repaint of a busy widget into an image of the panel's size. `change` does what a
// tick does before each repaint (new rates shown, the history moved on by one: the picture
// is rendered again); without it the repaint finds the picture it drew last time. `offset` moves
// the painter by a fraction of a pixel, which rules out copying a kept picture (everything is
// drawn).
void drawLoop(benchmark::State& state, bool change, QPointF offset) {
    SpeedView& view = busyView();
    QImage img(216, 92, QImage::Format_ARGB32_Premultiplied);
    SpeedStats s = view.stats();
    int tick = 0;
    for (auto _ : state) {
        if (change) {
            s.uploadSpeed = (++tick % 2) != 0 ? 123456 : 234567;
            std::rotate(s.upHistory.begin(), s.upHistory.begin() + 1, s.upHistory.end());
            std::rotate(s.downHistory.begin(), s.downHistory.begin() + 1, s.downHistory.end());
            view.setStats(s);
        }
        img.fill(Qt::transparent);
        QPainter p(&img);
        p.translate(offset);
        view.draw(p);
        p.end();
        benchmark::DoNotOptimize(img.bits());
    }
}

void BM_DrawSpeedView(benchmark::State& state) {
    drawLoop(state, true, {});
}
BENCHMARK(BM_DrawSpeedView);

void BM_DrawSpeedViewUnchanged(benchmark::State& state) {
    drawLoop(state, false, {});
}
BENCHMARK(BM_DrawSpeedViewUnchanged);

void BM_DrawSpeedViewUncached(benchmark::State& state) {
    drawLoop(state, false, {0.5, 0});
}
BENCHMARK(BM_DrawSpeedViewUncached);

} // namespace

int main(int argc, char** argv) {
    // Drawing needs fonts, hence an application; no display is used.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
