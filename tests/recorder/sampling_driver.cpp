// A recorder in a process of its own, driven line by line over standard input, for tests that
// need the program's sampling without its window: in a network namespace with the real tool,
// or to end a process while its tool runs.
//
//   sampling_driver <traffic file> <tool>
//   "sample"  runs the tool once; "sampled" is printed once the run has been applied
//   "apps"    prints "<in> <out> <name>" for every application of the last two days, then "end"
//   end of input quits the event loop, as the program quits: the recorder is never released.

#include "TrafficRecorder.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: sampling_driver <traffic file> <tool>\n");
        return 2;
    }
    TrafficRecorder::Config config = TrafficRecorder::defaultConfig();
    config.dataPath = QString::fromLocal8Bit(argv[1]);
    config.toolPath = QString::fromLocal8Bit(argv[2]);
    // Held by a static, as the program holds its recorder: still reachable at exit.
    static TrafficRecorder* const recorder = new TrafficRecorder(config);
    QObject::connect(recorder, &TrafficRecorder::sampleApplied, [] {
        std::printf("sampled\n");
        std::fflush(stdout);
    });

    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&input, &pending] {
        char buffer[256];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        pending.append(buffer, n);
        for (qsizetype end; (end = pending.indexOf('\n')) >= 0; pending.remove(0, end + 1)) {
            const QByteArray command = pending.left(end);
            if (command == "sample") {
                recorder->sampleAppTraffic();
            } else if (command == "apps") {
                // Both days, in case the run crossed midnight.
                const QStringList days = recorder->recentDays(2);
                const DailyTraffic both = recorder->sumBetween(days.first(), days.last());
                for (const auto& [name, traffic] : both.apps)
                    std::printf("%llu %llu %s\n", static_cast<unsigned long long>(traffic.bytesIn),
                                static_cast<unsigned long long>(traffic.bytesOut),
                                name.toUtf8().constData());
                std::printf("end\n");
                std::fflush(stdout);
            }
        }
    });
    return QCoreApplication::exec();
}
