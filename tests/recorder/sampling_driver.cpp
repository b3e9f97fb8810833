// A program that holds a recorder as the real program does and starts one run of its tool at
// once; the end of standard input quits its event loop without releasing the recorder.
//
//   sampling_driver <traffic file> <tool>

#include "TrafficRecorder.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <unistd.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TrafficRecorder::Config config = TrafficRecorder::defaultConfig();
    config.dataPath = QString::fromLocal8Bit(argv[1]);
    config.toolPath = QString::fromLocal8Bit(argv[2]);
    // Held by a static, as the program holds its recorder: still reachable at exit.
    static TrafficRecorder* const recorder = new TrafficRecorder(config);
    recorder->sampleAppTraffic();
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&input] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
        }
    });
    return QCoreApplication::exec();
}
