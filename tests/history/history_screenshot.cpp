// Renders the history window over a generated week into a PNG, for the README and for
// looking at the window without a display: history_screenshot <out.png> [width height]
#include "TrafficHistoryWindow.h"
#include "TrafficRecorder.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QWidget>
#include <cstdio>

namespace {

QJsonObject app(qint64 in, qint64 out) {
    return QJsonObject{{"in", in}, {"out", out}};
}

// A plausible week: a busy day, a quiet one, a day the machine stayed off (no record).
QJsonObject generatedWeek(const QStringList& keys) {
    struct Day {
        qint64 in, out;
        QJsonObject apps;
    };
    const qint64 MB = 1048576;
    const std::vector<Day> days = {
        {820 * MB,
         96 * MB,
         {{"firefox", app(610 * MB, 40 * MB)}, {"slack", app(120 * MB, 31 * MB)}}},
        {2300 * MB,
         410 * MB,
         {{"steam", app(1900 * MB, 12 * MB)}, {"firefox", app(300 * MB, 20 * MB)}}},
        {0, 0, {}}, // skipped below: no record at all
        {64 * MB, 9 * MB, {{"apt", app(60 * MB, 1 * MB)}}},
        {1400 * MB,
         820 * MB,
         {{"rsync", app(200 * MB, 760 * MB)}, {"firefox", app(900 * MB, 30 * MB)}}},
        {530 * MB,
         120 * MB,
         {{"thunderbird", app(80 * MB, 50 * MB)}, {"firefox", app(420 * MB, 60 * MB)}}},
        {1180 * MB,
         264 * MB,
         {{"firefox", app(512 * MB, 48 * MB)},
          {"code", app(182 * MB, 21 * MB)},
          {"Spotify", app(164 * MB, 3 * MB)},
          {"org.gnome.Software.SearchProvider.with.a.very.long.name", app(96 * MB, 2 * MB)},
          {"slack", app(88 * MB, 34 * MB)},
          {"git-remote-https", app(61 * MB, 118 * MB)},
          {"apt", app(44 * MB, 1 * MB)},
          {"ssh", app(3 * MB, 22 * MB)},
          {"systemd-resolved", app(1 * MB / 2, 300 * 1024)},
          {"chronyd", app(0, 0)}}},
    };
    QJsonObject top;
    for (int i = 0; i < keys.size() && i < static_cast<int>(days.size()); ++i) {
        if (i == 2) {
            continue;
        }
        const auto& d = days[static_cast<std::size_t>(i)];
        top.insert(keys[i], QJsonObject{{"totalIn", d.in}, {"totalOut", d.out}, {"apps", d.apps}});
    }
    return top;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication qapp(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <out.png> [width height]\n", argv[0]);
        return 2;
    }
    QTemporaryDir dir;
    if (!dir.isValid()) {
        return 1;
    }
    TrafficRecorder::Config cfg;
    cfg.dataPath = dir.filePath("traffic.db");
    cfg.load = false;
    const QStringList keys = TrafficRecorder(cfg).recentDays(7);
    {
        QFile f(dir.filePath("traffic.json")); // moved into the store when it opens
        if (!f.open(QIODevice::WriteOnly)) {
            return 1;
        }
        f.write(QJsonDocument(generatedWeek(keys)).toJson());
    }
    cfg.load = true;
    TrafficRecorder recorder(cfg);
    TrafficHistoryWindow window(recorder);
    if (argc >= 4) {
        window.window()->resize(QString::fromLocal8Bit(argv[2]).toInt(),
                                QString::fromLocal8Bit(argv[3]).toInt());
    }
    QApplication::processEvents();
    const QImage img = window.window()->grab().toImage();
    return img.save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
