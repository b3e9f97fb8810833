#include "NettopRunner.h"

#include "ToolProcess.h"

#include <QFileInfo>
#include <QStringDecoder>

#ifdef __linux__
#include "netd_client.h"

#include <unistd.h>
#endif

namespace {

// A tool that prints more than this is not the tool we expect.
constexpr qint64 kMaxOutputBytes = 64 * 1024 * 1024;

QString failureText(ToolEnd end, int timeoutMs) {
    switch (end) {
    case ToolEnd::Success:
        return {};
    case ToolEnd::NotStarted:
        return QStringLiteral("could not be started");
    case ToolEnd::Failed:
        return QStringLiteral("failed (non-zero exit status or killed)");
    case ToolEnd::TimedOut:
        return QStringLiteral("ran past its time limit of %1 ms and was ended").arg(timeoutMs);
    case ToolEnd::Cancelled:
        return QStringLiteral("was cancelled");
    case ToolEnd::OutputTooLarge:
        return QStringLiteral("printed more than %1 bytes and was ended").arg(kMaxOutputBytes);
    }
    return QStringLiteral("ended in an unknown way");
}

} // namespace

NettopRun runNettop(const QString& program, const QStringList& arguments, int timeoutMs,
                    const std::atomic<bool>* cancel) {
#ifdef __linux__
    // While the counting service runs, the stand-in tool would only pass its answer on: the
    // same request made here spares starting a process for every sample. Its answer is read
    // as the tool's lines, so nothing downstream can tell the two apart.
    if (QFileInfo(program).fileName() == QLatin1String("quillfern-nettop")) {
        if (const auto view = qfnetd::askService(qfnetd::serviceSocketPath())) {
            NettopRun run;
            run.output = QString::fromStdString(qfnetd::toolLines(*view, ::getuid(), {}));
            return run;
        }
    }
#endif
    const ToolResult result = toolRun(program, arguments, timeoutMs, kMaxOutputBytes, cancel);
    NettopRun run;
    run.failure = failureText(result.end, timeoutMs);
    if (!run.ok())
        return run;
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder.decode(result.output);
    if (decoder.hasError()) {
        run.failure = QStringLiteral("printed text that is not UTF-8");
        return run;
    }
    run.output = std::move(text);
    return run;
}
