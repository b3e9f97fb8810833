// The command line: what each argument asks for, which display the card may use, and the
// commands that print a report or a message and leave without one.

#include "CommandLine.h"
#include "Report.h"
#include "ReportCommand.h"
#include "TestSupport.h"
#include "Translations.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>
#include <map>

namespace {

TEST(CommandLine, QtOptionsReachTheDisplayCheck) {
    const CliRequest qt = cliParse({"-platform", "offscreen", "--display", ":3", "--reverse"});
    EXPECT_EQ(qt.platform, "offscreen");
    EXPECT_EQ(qt.display, ":3");
    EXPECT_TRUE(cliParse({"-platform"}).platform.isEmpty()); // no value to take
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

    const struct {
        DisplaySetting setting;
        const char* names;
    } cases[] = {
        {{}, "neither DISPLAY nor WAYLAND_DISPLAY is set"},
        {{":7", {}, {}}, "DISPLAY=:7 does not answer"},
        {{{}, "wayland-3", {}}, "WAYLAND_DISPLAY=wayland-3 does not answer"},
        {{":7", "wayland-3", {}}, "neither the X server DISPLAY=:7"},
        // The user's platform, with its options and fallbacks, needs its display.
        {{":7", {}, "xcb:nograb"}, "needs the X server DISPLAY=:7, which does not answer"},
        {{{}, {}, "wayland;xcb"},
         "a Wayland compositor, and none answers; or an X server, but DISPLAY is not set"}};
    for (const auto& c : cases) {
        const QString problem = dispChoose(c.setting, dead).problem;
        EXPECT_TRUE(problem.contains(c.names)) << problem.toStdString();
        EXPECT_TRUE(problem.contains("DISPLAY=:0")) << "says how to run it";
    }
    // Where it answers the platform is the user's; others are Qt's to judge.
    const std::pair<const char*, DisplayProbes> leftToQt[] = {
        {"xcb", both}, {"wayland", wayland}, {"offscreen", dead}};
    for (const auto& [platform, answering] : leftToQt) {
        const DisplayChoice c = dispChoose({":0", {}, platform}, answering);
        EXPECT_TRUE(c.platform.isEmpty() && c.problem.isEmpty()) << platform;
    }

    ASSERT_FALSE(i18n::install({"zh-CN"}));
    EXPECT_EQ(dispChoose({":7", {}, {}}, dead).problem,
              "没有显示器：X 服务器 DISPLAY=:7 没有应答；请在图形会话中运行，或把 DISPLAY "
              "设为正在运行的 X 服务器（如 DISPLAY=:0）");
}

using Mode = ReportCommand::Mode;

ReportCommand parse(const QString& line) {
    return cmdParse(line.split(' ', Qt::SkipEmptyParts));
}

class FakeSource : public HistorySource {
public:
    std::map<QDate, ByteCounts> days;
    std::vector<AppEntry> applications;
    QDate today() const override { return QDate(2026, 3, 2); }
    ByteCounts totals(QDate first, QDate last) const override {
        ByteCounts t;
        for (const auto& [d, v] : days) {
            if (d >= first && d <= last) {
                t.in += v.in;
                t.out += v.out;
            }
        }
        return t;
    }
    std::vector<AppEntry> apps(QDate, QDate) const override { return applications; }
};

TEST(ReportCommand, ParsesReportOptionsAndRefusesTheRest) {
    EXPECT_EQ(parse("-platform xcb --reverse").mode, Mode::Widget);
    const ReportCommand full = parse("--months 12 --report --apps --json");
    EXPECT_EQ(full.mode, Mode::Report);
    EXPECT_EQ(full.count, 12);
    EXPECT_TRUE(full.months && full.apps && full.json);
    for (const char* bad : {"--report --days", "--report --days 0", "--report --days 3 --months 2",
                            "--days 3", "report"}) {
        const ReportCommand c = parse(bad);
        EXPECT_EQ(c.mode, Mode::Error) << bad;
        EXPECT_FALSE(c.error.isEmpty()) << bad;
    }
}

TEST(Report, AlignedTableAndExactJson) {
    FakeSource src;
    src.days[QDate(2026, 3, 2)] = {1536, 0};
    src.days[QDate(2026, 2, 27)] = {~0ull, 5};
    src.applications = {{"火狐浏览器", {2048, 10}}, {"curl", {1, 1}}};

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
    EXPECT_TRUE(blocks[1].contains("1.5 KB")) << blocks[1].toStdString();

    // Months reach back over the year; counts past 2^53 keep every digit.
    const QString json = reportJson(reportBuild(src, 4, true, false));
    const QJsonObject doc = QJsonDocument::fromJson(json.toUtf8()).object();
    EXPECT_EQ(doc["rows"].toArray()[0].toObject()["key"].toString(), "2025-12");
    EXPECT_TRUE(json.contains("\"in\": 18446744073709551615")) << json.toStdString();
}

// The program without a display, in the locale's language, on each of its ways out.
TEST(ReportCommand, CommandsRunWithoutADisplayInTheLocalesLanguage) {
    qftest::Sandbox sandbox;
    const qftest::RunResult json = sandbox.runProgram({"--report", "--json", "--days", "30"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(json.out))["rows"].toArray().size(),
              30);
    EXPECT_EQ(sandbox.runProgram({"--version"}).out.rfind("quillfern ", 0), 0u);

    const qftest::RunResult bad =
        sandbox.runProgram({"--report", "--days", "many"}, {"LANG=zh_CN.UTF-8"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_EQ(bad.err.rfind("quillfern: --days 需要", 0), 0u) << bad.err;
    EXPECT_NE(bad.err.find("\nusage: quillfern"), std::string::npos) << bad.err;

    // English from the translation the program finds itself, with and without an
    // application object.
    const std::vector<std::string> english = {"LANG=en_US.UTF-8"};
    const qftest::RunResult report = sandbox.runProgram({"--report", "--days", "2"}, english);
    EXPECT_EQ(report.out.rfind("Date", 0), 0u) << report.out;
    EXPECT_NE(report.out.find("Total of 2 days"), std::string::npos) << report.out;
    const qftest::RunResult import =
        sandbox.runProgram({"--import-json", "/nonexistent.json"}, english);
    EXPECT_EQ(import.exitCode, 1);
    EXPECT_EQ(import.err.rfind("quillfern: import failed: ", 0), 0u) << import.err;
}

} // namespace
