#include "NettopRunner.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStringDecoder>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

namespace {

// How often a waiting run looks at the cancel flag.
constexpr int kPollMs = 50;
// A tool that prints more than this is not the tool we expect.
constexpr qint64 kMaxOutputBytes = 64 * 1024 * 1024;

void killAndReap(QProcess& process) {
    process.kill();
    // SIGKILL cannot be caught; the wait only collects the exit status.
    process.waitForFinished(5000);
}

} // namespace

QString runNettop(const QString& program, const QStringList& arguments, int timeoutMs,
                  const std::atomic<bool>* cancel, QString* problem) {
    const auto fail = [problem](const QString& what) {
        if (problem)
            *problem = what;
        return QString();
    };
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    process.setStandardErrorFile(QProcess::nullDevice());
#ifdef Q_OS_LINUX
    // The child dies with the thread that started it, so even a program that is killed
    // itself leaves no tool behind.
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
#endif
    QElapsedTimer clock;
    clock.start();
    process.start(QIODevice::ReadOnly);
    if (!process.waitForStarted(std::max(timeoutMs, 1)))
        return fail(QStringLiteral("could not start %1: %2").arg(program, process.errorString()));

    // QProcess drains the pipe into its own buffer while we wait, so a tool whose output
    // exceeds the pipe's capacity never blocks on a full pipe.
    while (process.state() != QProcess::NotRunning) {
        const qint64 left = timeoutMs - clock.elapsed();
        if (cancel && cancel->load()) {
            killAndReap(process);
            return {};
        }
        if (left <= 0) {
            killAndReap(process);
            return fail(QStringLiteral("%1 ran longer than %2 ms and was stopped")
                            .arg(program)
                            .arg(timeoutMs));
        }
        if (process.bytesAvailable() > kMaxOutputBytes) {
            killAndReap(process);
            return fail(QStringLiteral("%1 printed more than %2 bytes and was stopped")
                            .arg(program)
                            .arg(kMaxOutputBytes));
        }
        process.waitForFinished(static_cast<int>(std::min<qint64>(left, kPollMs)));
    }
    if (cancel && cancel->load())
        return {};

    const QByteArray bytes = process.readAllStandardOutput();
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return fail(QStringLiteral("%1 printed text that is not UTF-8").arg(program));
    return text;
}
