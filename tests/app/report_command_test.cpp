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
    EXPECT_EQ(parse("--report --bogus --help").mode, Mode::Error);
    EXPECT_EQ(parse("--help --bogus").mode, Mode::Help);
    const ReportCommand full = parse("--months 12 --report --apps --json");
    EXPECT_EQ(full.mode, Mode::Report);
    EXPECT_EQ(full.count, 12);
    EXPECT_TRUE(full.months && full.apps && full.json);
    for (const char* bad :
         {"--report --days", "--report --days 0", "--report --days x",
          "--report --days 3 --months 2", "--days 3", "--json", "report", "--report --months -1"}) {
        const ReportCommand c = parse(bad);
        EXPECT_EQ(c.mode, Mode::Error) << bad;
        EXPECT_FALSE(c.error.isEmpty()) << bad;
    }
}

// Every line of a block ends its last column at the same terminal cell.
void expectAligned(const QString& block) {
    const QStringList lines = block.split('\n', Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        EXPECT_EQ(reportCells(line), reportCells(lines.front())) << line.toStdString();
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
    expectAligned(blocks[1]);
    expectAligned(blocks[2]);
    EXPECT_TRUE(blocks[1].contains("1.5 KB")) << blocks[1].toStdString();

    // Months reach back over the year; counts past 2^53 keep every digit.
    const QString json = reportJson(reportBuild(src, 2, true, false));
    const QJsonObject doc = QJsonDocument::fromJson(json.toUtf8()).object();
    EXPECT_EQ(doc["rows"].toArray()[0].toObject()["key"].toString(), "2026-02");
    EXPECT_TRUE(json.contains("\"in\": 18446744073709551615")) << json.toStdString();
    EXPECT_FALSE(doc.contains("apps"));
}

// The program without a display, in the locale's language; its figures never change with it.
TEST(ReportCommand, CommandsRunWithoutADisplayInTheLocalesLanguage) {
    qftest::Sandbox sandbox;
    const auto run = [&](const char* lang, std::vector<std::string> args) {
        qftest::ChildOptions o;
        o.argv = {qftest::programPath().string()};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.env = sandbox.env();
        o.env.push_back(std::string("LANG=") + lang);
        o.clearEnv = true;
        return qftest::run(std::move(o));
    };
    const qftest::RunResult json = run("C.UTF-8", {"--report", "--json", "--days", "30"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(json.out))["rows"].toArray().size(),
              30);
    const qftest::RunResult bad = run("C.UTF-8", {"--report", "--days", "many"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("usage: quillfern"), std::string::npos) << bad.err;

    const struct {
        const char* lang;
        const char* report; // the table's first line and its total
        const char* total;
        const char* noDisplay;
        const char* importFailed;
    } languages[] = {{"zh_CN.UTF-8", "日期", "2 天合计", "没有显示器", "导入失败："},
                     {"en_US.UTF-8", "Date", "Total of 2 days", "no display", "import failed: "}};
    for (const auto& l : languages) {
        SCOPED_TRACE(l.lang);
        const qftest::RunResult report = run(l.lang, {"--report", "--days", "2"});
        EXPECT_EQ(report.out.rfind(l.report, 0), 0u) << report.out;
        EXPECT_NE(report.out.find(l.total), std::string::npos) << report.out;
        EXPECT_NE(report.out.find("0 B"), std::string::npos) << report.out;
        EXPECT_EQ(run(l.lang, {}).err.rfind(std::string("quillfern: ") + l.noDisplay, 0), 0u);
        const qftest::RunResult import = run(l.lang, {"--import-json", "/nonexistent.json"});
        EXPECT_EQ(import.exitCode, 1);
        EXPECT_EQ(import.err.rfind(std::string("quillfern: ") + l.importFailed, 0), 0u)
            << import.err;
        // Help fits an 80-column terminal, counted in terminal cells.
        for (const QString& line :
             QString::fromStdString(run(l.lang, {"--help"}).out).split('\n')) {
            EXPECT_LE(reportCells(line), 80) << line.toStdString();
        }
    }
}

} // namespace
