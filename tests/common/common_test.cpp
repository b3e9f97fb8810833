#include "LogCapture.h"
#include "StateReporter.h"

#include <gtest/gtest.h>

namespace {

Q_LOGGING_CATEGORY(lcTest, "quillfern.test", QtInfoMsg)

TEST(StateReporter, SaysAProblemOnceAgainWhenItChangesAndItsEnd) {
    LogCapture log;
    StateReporter reporter(lcTest(), QStringLiteral("works again"));
    reporter.clear(); // well from the start: nothing to say
    for (const char* problem : {"disk full", "disk full", "read-only"})
        reporter.report(QString::fromUtf8(problem));
    reporter.clear();
    reporter.clear();
    reporter.report(QStringLiteral("disk full")); // a problem that comes back is new
    EXPECT_EQ(log.of("quillfern.test"),
              (QStringList{"disk full", "read-only", "works again", "disk full"}));
    QList<QtMsgType> types;
    for (const LogCapture::Line& line : log.lines())
        types << line.type;
    EXPECT_EQ(types, (QList<QtMsgType>{QtWarningMsg, QtWarningMsg, QtInfoMsg, QtWarningMsg}));
}

} // namespace
