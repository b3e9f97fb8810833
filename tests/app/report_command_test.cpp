#include "Report.h"
#include "ReportCommand.h"
#include "TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>
#include <map>

namespace {

using Mode = ReportCommand::Mode;

ReportCommand parse(const QString& line) {
    return cmdParse(line.split(' ', Qt::SkipEmptyParts));
}

class FakeSource : public HistorySource {
public:
    std::map<QDate, TrafficTotals> days;
    std::vector<AppEntry> applications;
    QDate today() const override { return QDate(2026, 3, 2); }
    TrafficTotals totals(QDate first, QDate last) const override {
        TrafficTotals t;
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
    for (const char* bad : {"--report --days", "--report --days 0", "--report --days x",
                            "--report --days 3 --months 2", "--days 3", "report"}) {
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
