// The command line: what each argument asks for, which display the card may use, the report,
// the JSON commands, and the program on each of its ways out without a display.

#include "CommandLine.h"
#include "DisplayChoice.h"
#include "FakeHistorySource.h"
#include "JsonCommands.h"
#include "RecorderTestSupport.h"
#include "Report.h"
#include "TestSupport.h"
#include "Translations.h"

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

namespace {

using Mode = CommandLine::Mode;

// What the parser kept for the mode it found, in a few words.
QString kept(const CommandLine& c) {
    const QString report =
        QStringLiteral("%1 %2%3%4")
            .arg(c.count)
            .arg(c.months ? "months" : "days", c.apps ? " apps" : "", c.json ? " json" : "");
    return QString::fromLocal8Bit(c.platform + ' ' + c.display).trimmed() + c.file + c.error +
           (c.mode == Mode::Report ? report : QString());
}

TEST(CommandLine, EveryModeItsOptionsAndEveryError) {
    ASSERT_TRUE(i18n::install({"en-US"}));
    const QString needsNumber = "--days needs a whole number from 1 to 100000";
    const QString reportOnly = "--days, --months, --apps and --json go with --report";
    const struct {
        const char* line;
        Mode mode;
        QString kept;
    } cases[] = {
        {"", Mode::Widget, ""},
        // Qt's own options pass, with one dash or two; two of them decide the display.
        {"-platform xcb --display :3 --reverse -style fusion", Mode::Widget, "xcb :3"},
        {"--months 12 --report --apps --json", Mode::Report, "12 months apps json"},
        // The JSON commands anywhere; the export's file is optional, the import's is not.
        {"--export-json", Mode::Export, ""},
        {"--reverse --export-json - -sync", Mode::Export, "-"},
        {"--reverse --import-json --report", Mode::Import, "--report"},
        {"--export-json --version", Mode::Version, ""},
        {"--report -h --bogus", Mode::Help, ""},
        {"--bogus --help", Mode::Error, "unknown argument: --bogus"},
        {"-platform", Mode::Error, "unknown argument: -platform"},
        {"---reverse", Mode::Error, "unknown argument: ---reverse"},
        {"--report --days 0", Mode::Error, needsNumber},
        {"--report --months 100001", Mode::Error, "--months needs a whole number from 1 to 100000"},
        {"--report --days 3 --months 2", Mode::Error,
         "--days and --months cannot be used together"},
        {"--days 3", Mode::Error, reportOnly},
        {"--export-json out.json --json", Mode::Error, reportOnly},
        {"--export-json a b", Mode::Error, "unknown argument: b"},
        // Two commands at once, or the import without its file: the usage line says it all.
        {"--import-json", Mode::Error, ""},
        {"--report --export-json", Mode::Error, ""},
    };
    for (const auto& c : cases) {
        const CommandLine got = cliParse(QString(c.line).split(' ', Qt::SkipEmptyParts));
        EXPECT_EQ(got.mode, c.mode) << c.line;
        EXPECT_EQ(kept(got), c.kept) << c.line;
    }
}

DisplayProbes probes(bool x11, bool wayland, bool plugin = true) {
    return {[=] { return x11; }, [=] { return wayland; }, [=] { return plugin; }};
}

// Decided, and said, before any application object exists (none does in this test).
TEST(DisplayChoice, PicksXWhereItAnswersWaylandOtherwiseAndNamesWhatIsMissing) {
    ASSERT_TRUE(i18n::install({"en-US"}));
    // X answers: through X, also inside a Wayland session (XWayland keeps positions).
    const DisplayProbes both = probes(true, true), wayland = probes(false, true),
                        dead = probes(false, false);
    EXPECT_EQ(dispChoose({":0", "wayland-0", {}}, both).platform, "xcb");
    EXPECT_EQ(dispChoose({":9", "wayland-1", {}}, wayland).platform, "wayland");
    EXPECT_TRUE(
        dispChoose({{}, "wayland-1", {}}, probes(false, true, false)).problem.contains("plugin"));

    const std::pair<DisplaySetting, const char*> cases[] = {
        {{}, "neither DISPLAY nor WAYLAND_DISPLAY is set"},
        {{":7", {}, {}}, "DISPLAY=:7 does not answer"},
        {{{}, "wayland-3", {}}, "WAYLAND_DISPLAY=wayland-3 does not answer"},
        {{":7", "wayland-3", {}}, "neither the X server DISPLAY=:7"},
        // The user's platform, with its options and fallbacks, needs its display.
        {{":7", {}, "xcb:nograb"}, "needs the X server DISPLAY=:7, which does not answer"},
        {{{}, {}, "wayland;xcb"},
         "a Wayland compositor, and none answers; or an X server, but DISPLAY is not set"}};
    for (const auto& [setting, names] : cases) {
        const QString problem = dispChoose(setting, dead).problem;
        EXPECT_TRUE(problem.contains(names)) << problem.toStdString();
    }
    // Where it answers the platform is the user's; others are Qt's to judge.
    for (const auto& [platform, answering] :
         {std::pair{"xcb", both}, {"wayland", wayland}, {"offscreen", dead}}) {
        const DisplayChoice c = dispChoose({":0", {}, platform}, answering);
        EXPECT_TRUE(c.platform.isEmpty() && c.problem.isEmpty()) << platform;
    }
}

TEST(Report, AlignedTableAndExactJson) {
    FakeHistorySource src;
    src.now = QDate(2026, 3, 2);
    src.days = {{src.now, {1536, 0}}, {QDate(2026, 2, 27), {~0ull, 5}}};
    src.dayApps[src.now] = {{"火狐浏览器", {2048, 10}}, {"curl", {1, 1}}};

    const ReportData week = reportBuild(src, 3, false, true);
    ASSERT_EQ(week.rows.size(), 3u);
    EXPECT_EQ(week.rows.front().key, "2026-02-28");
    EXPECT_EQ(week.rangeTotals.in, 1536u);
    const QStringList blocks = reportText(week).split("\n\n");
    ASSERT_EQ(blocks.size(), 3); // header and today, the days, the applications
    for (const QString& block : {blocks[1], blocks[2]}) { // each line's last column ends alike
        const QStringList lines = block.split('\n', Qt::SkipEmptyParts);
        for (const QString& line : lines) {
            EXPECT_EQ(reportCells(line), reportCells(lines.front())) << line.toStdString();
        }
    }

    // Months reach back over the year; counts past 2^53 keep every digit.
    const QString json = reportJson(reportBuild(src, 4, true, false));
    const QJsonObject doc = QJsonDocument::fromJson(json.toUtf8()).object();
    EXPECT_EQ(doc["rows"].toArray()[0].toObject()["key"].toString(), "2025-12");
    EXPECT_TRUE(json.contains("\"in\": 18446744073709551615")) << json.toStdString();
}

// Round trips through the store are the recorder's tests; these are the commands' own ways.
TEST(JsonCommands, ExportTheWaitingFileAndImportNothingFromWhatIsNoHistory) {
    TempStore store;
    const QString in = store.dir.filePath("in.json");
    QString error;
    int days = 0;
    const auto exported = [&]() -> std::optional<TrafficDays> {
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        TrafficDays read;
        if (!jsonExport(store.path(), out, &error) ||
            trafficFromJson(out.data(), read) != TrafficParse::Ok)
            return std::nullopt;
        return read;
    };
    // Before a store, the export is the file waiting to be moved in, refused when damaged.
    ASSERT_TRUE(store.write("{\"2024-01-01\": {\"t"));
    EXPECT_FALSE(exported());
    EXPECT_TRUE(error.contains("traffic.json")) << error.toStdString();
    ASSERT_TRUE(store.write(R"({"2024-01-01": {"totalIn": 5, "totalOut": 6}})"));
    EXPECT_EQ(exported(), (TrafficDays{{"2024-01-01", DailyTraffic{{5, 6}, {}}}}));
    // What is no history is refused before any store is made.
    for (const char* bad : {"", "[1, 2]", "{\"2024"}) {
        ASSERT_TRUE(writeFile(in, bad));
        EXPECT_FALSE(jsonImport(store.path(), in, &error, &days)) << bad;
        EXPECT_TRUE(error.endsWith("(an object keyed by day)")) << error.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(store.path()));
    ASSERT_TRUE(writeFile(in, R"({"2024-01-02": {"totalIn": 1}})"));
    ASSERT_TRUE(jsonImport(store.path(), in, &error, &days)) << error.toStdString();
    EXPECT_EQ(days, 1);
    // The waiting file moved in with it.
    EXPECT_EQ(exported(), (TrafficDays{{"2024-01-01", DailyTraffic{{5, 6}, {}}},
                                       {"2024-01-02", DailyTraffic{{1, 0}, {}}}}));
}

// The program without a display, in the locale's language, on each of its ways out.
TEST(CommandLine, CommandsRunWithoutADisplayInTheLocalesLanguage) {
    qftest::Sandbox sandbox;

    const qftest::RunResult bad =
        sandbox.runProgram({"--report", "--days", "many"}, {"LANG=zh_CN.UTF-8"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_EQ(bad.err.rfind("quillfern: --days 需要", 0), 0u) << bad.err;
    EXPECT_NE(bad.err.find("\nusage: quillfern"), std::string::npos) << bad.err;

    // English from the translation the program finds itself.
    const qftest::RunResult report =
        sandbox.runProgram({"--report", "--days", "2"}, {"LANG=en_US.UTF-8"});
    EXPECT_EQ(report.out.rfind("Date", 0), 0u) << report.out;
    EXPECT_EQ(sandbox.runProgram({"--import-json", "/nonexistent.json"}).exitCode, 1);
    EXPECT_EQ(sandbox.runProgram({"-platform", "offscreen", "--export-json"}).out, "{}\n");
    // No home and no private runtime directory: no history anywhere, and no shared one either.
    const qftest::RunResult homeless =
        sandbox.runProgram({"--import-json", "/nonexistent.json"},
                           {"HOME=/", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "LANG=en_US.UTF-8"});
    EXPECT_EQ(homeless.exitCode, 1);
    EXPECT_NE(homeless.err.find("no private place"), std::string::npos) << homeless.err;
}

} // namespace
