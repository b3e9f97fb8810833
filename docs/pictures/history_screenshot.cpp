// Renders the history window over a generated year into a PNG, for the README and for
// looking at the window without a display:
//   history_screenshot <out.png> [width height] [--range week|month|year] [--allowance GB]
#include "DayKey.h"
#include "TrafficHistoryWindow.h"
#include "TrafficRecorder.h"

#include <QApplication>
#include <QDate>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>
#include <QWidget>
#include <cmath>
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

// The year before that week: working days busier than weekends, a slow swell over months.
void addEarlierDays(QJsonObject& top, const QDate& firstOfWeek) {
    const qint64 MB = 1048576;
    for (int age = 1; age <= 358; ++age) {
        const QDate day = firstOfWeek.addDays(-age);
        if (age % 23 == 5) {
            continue; // the machine was off
        }
        const double swell = 1.0 + 0.5 * std::sin(age / 58.0);
        const double weekday = day.dayOfWeek() >= 6 ? 0.45 : 1.0;
        const auto in = static_cast<qint64>((300 + (age * 37) % 900) * MB * swell * weekday);
        const auto out = in / (3 + age % 4);
        top.insert(day.toString(QStringLiteral("yyyy-MM-dd")),
                   QJsonObject{{"totalIn", in},
                               {"totalOut", out},
                               {"apps", QJsonObject{{"firefox", app(in * 6 / 10, out / 3)},
                                                    {"steam", app(in / 4, out / 20)},
                                                    {"slack", app(in / 10, out / 2)}}}});
    }
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication qapp(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: %s <out.png> [width height] [--range week|month|year] "
                     "[--allowance GB]\n",
                     argv[0]);
        return 2;
    }
    QStringList args = QApplication::arguments().mid(2);
    HistoryRange range = HistoryRange::Week;
    AllowanceSettings allowance;
    for (int i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == QLatin1String("--range")) {
            range = args[i + 1] == QLatin1String("year")    ? HistoryRange::Year
                    : args[i + 1] == QLatin1String("month") ? HistoryRange::Month
                                                            : HistoryRange::Week;
            args.remove(i, 2);
            --i;
        } else if (args[i] == QLatin1String("--allowance")) {
            allowance.enabled = true;
            allowance.gigabytes = args[i + 1].toDouble();
            allowance.downloadOnly = false;
            allowance.cycleStartDay = QDate::currentDate().addDays(-17).day();
            args.remove(i, 2);
            --i;
        }
    }
    QTemporaryDir dir;
    if (!dir.isValid()) {
        return 1;
    }
    TrafficRecorder::Config cfg;
    cfg.dataPath = dir.filePath("traffic.db");
    cfg.load = false;
    const QStringList keys = DayKey::lastDays(QDate::currentDate(), 7);
    {
        QFile f(dir.filePath("traffic.json")); // moved into the store when it opens
        if (!f.open(QIODevice::WriteOnly)) {
            return 1;
        }
        QJsonObject top = generatedWeek(keys);
        addEarlierDays(top, QDate::fromString(keys.first(), Qt::ISODate));
        f.write(QJsonDocument(top).toJson());
    }
    cfg.load = true;
    TrafficRecorder recorder(cfg);
    TrafficHistoryWindow window(recorder);
    window.setAllowanceSource([allowance] { return allowance; });
    if (args.size() >= 2) {
        window.window()->resize(args[0].toInt(), args[1].toInt());
    }
    window.setRange(range);
    QApplication::processEvents();
    const QImage img = window.window()->grab().toImage();
    return img.save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
