#include "Report.h"
#include "ReportCommand.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <array>
#include <cstdio>
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

} // namespace

TEST(ReportCommand, ParsesReportOptionsAndRefusesTheRest) {
    EXPECT_EQ(parse("").mode, Mode::Widget);
    EXPECT_EQ(parse("-platform xcb --reverse").mode, Mode::Widget);
    EXPECT_EQ(parse("--version").mode, Mode::Version);
    EXPECT_EQ(parse("--report --bogus --help").mode, Mode::Error);
    EXPECT_EQ(parse("--help --bogus").mode, Mode::Help);

    const ReportCommand plain = parse("--report");
    EXPECT_EQ(plain.mode, Mode::Report);
    EXPECT_EQ(plain.count, 7);
    EXPECT_FALSE(plain.months || plain.apps || plain.json);
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

TEST(Report, AlignedTableAndExactJson) {
    FakeSource src;
    src.days[QDate(2026, 3, 2)] = {1536, 0};
    src.days[QDate(2026, 2, 27)] = {~0ull, 5};
    src.applications = {{"火狐浏览器", {2048, 10}}, {"curl", {1, 1}}};

    const ReportData week = reportBuild(src, 3, false, true);
    ASSERT_EQ(week.rows.size(), 3u);
    EXPECT_EQ(week.rows.front().key, "2026-02-28");
    EXPECT_EQ(week.rangeTotals.in, 1536u);
    // Every line of a table ends its last column at the same terminal cell.
    const QString text = reportText(week);
    const QStringList blocks = text.split("\n\n");
    ASSERT_EQ(blocks.size(), 3); // header and today, the days, the applications
    for (const QString& block : {blocks[1], blocks[2]}) {
        int cells = -1;
        for (const QString& line : block.split('\n', Qt::SkipEmptyParts)) {
            if (cells < 0) {
                cells = reportCells(line);
            }
            EXPECT_EQ(reportCells(line), cells) << line.toStdString();
        }
    }
    EXPECT_TRUE(text.contains("2026-03-02")) << text.toStdString();
    EXPECT_TRUE(text.contains("1.5 KB")) << text.toStdString();

    // Months reach back over the year; counts past 2^53 keep every digit.
    const ReportData months = reportBuild(src, 2, true, false);
    const QString json = reportJson(months);
    QJsonParseError err{};
    const QJsonObject doc = QJsonDocument::fromJson(json.toUtf8(), &err).object();
    ASSERT_EQ(err.error, QJsonParseError::NoError) << json.toStdString();
    EXPECT_EQ(doc["unit"].toString(), "month");
    EXPECT_EQ(doc["rows"].toArray()[0].toObject()["key"].toString(), "2026-02");
    EXPECT_TRUE(json.contains("\"in\": 18446744073709551615")) << json.toStdString();
    EXPECT_FALSE(doc.contains("apps"));
}

TEST(ReportCommand, ReportRunsWithoutADisplayAndBadArgumentsExitTwo) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    const QString env =
        QStringLiteral(
            "env -u DISPLAY -u WAYLAND_DISPLAY -u LANGUAGE -u LC_ALL -u LC_MESSAGES HOME=%1 "
            "XDG_DATA_HOME=%1/data XDG_CONFIG_HOME=%1/config ")
            .arg(home.path());
    const auto run = [&](const QString& args, std::string& out) {
        // Words before the options are more of the environment (env takes them in order).
        QString envArgs = args.section(QStringLiteral("--"), 0, 0);
        const QString options = args.mid(envArgs.size());
        const QString cmd =
            env + envArgs + QUILLFERN_BINARY_DIR "/src/app/quillfern " + options + " 2>&1";
        out.clear();
        FILE* p = ::popen(cmd.toLocal8Bit().constData(), "r");
        if (!p) {
            return -1;
        }
        std::array<char, 4096> buf{};
        while (std::size_t n = std::fread(buf.data(), 1, buf.size(), p)) {
            out.append(buf.data(), n);
        }
        const int status = ::pclose(p);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    std::string out;
    ASSERT_EQ(run("--report --json --days 30", out), 0) << out;
    const QJsonObject doc = QJsonDocument::fromJson(QByteArray::fromStdString(out)).object();
    EXPECT_EQ(doc["rows"].toArray().size(), 30) << out;
    EXPECT_EQ(run("--version", out), 0);
    EXPECT_EQ(out.rfind("quillfern ", 0), 0u) << out;
    EXPECT_EQ(run("--report --days many", out), 2);
    EXPECT_NE(out.find("usage: quillfern"), std::string::npos) << out;

    // The table speaks the locale's language; its figures do not change with it.
    ASSERT_EQ(run("LANG=zh_CN.UTF-8 --report --days 2", out), 0);
    EXPECT_EQ(out.rfind("日期", 0), 0u) << out;
    EXPECT_NE(out.find("2 天合计"), std::string::npos) << out;
    ASSERT_EQ(run("LANG=en_US.UTF-8 --report --days 2", out), 0);
    EXPECT_EQ(out.rfind("Date", 0), 0u) << out;
    EXPECT_NE(out.find("Total of 2 days"), std::string::npos) << out;
    EXPECT_NE(out.find("0 B"), std::string::npos) << out;
}
