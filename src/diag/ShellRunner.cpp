#include "diag/ShellRunner.h"

#include "base/Folders.h"
#include "diag/Console.h"

#include <QProcess>
#include <QStringDecoder>

namespace vesk {

namespace {
struct RunResult {
    bool started = false;
    int exitCode = -1;
    QByteArray output;
};

RunResult runAndCollect(const QString &program, const QStringList &arguments)
{
    RunResult result;
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    process.start(QIODevice::ReadOnly);
    if (!process.waitForStarted(-1))
        return result;
    result.started = true;
    // Drain the pipe while the program runs: a program that prints more than the pipe holds would
    // otherwise block on its write and never exit.
    while (process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(100);
        result.output += process.readAllStandardOutput();
    }
    process.waitForFinished(-1);
    result.output += process.readAllStandardOutput();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

std::optional<QString> decodeUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

QString describeArguments(const QStringList &arguments)
{
    return QStringLiteral("(\n    ") + arguments.join(QStringLiteral(",\n    ")) + QStringLiteral("\n)");
}
} // namespace

std::optional<QString> runShellScript2(const QString &path, const std::optional<QStringList> &arguments)
{
    if (path.isEmpty()) {
        consoleLog(QStringLiteral("\n\nrunShellScript2 FAILED => scriptName==nil!\n\n"));
        return std::nullopt;
    }
    consoleLog(QStringLiteral("runShellScript2 => scriptName = [%1]").arg(path));
    if (arguments)
        consoleLog(QStringLiteral("runShellScript2 => param:\n%1").arg(describeArguments(*arguments)));
    else
        consoleLog(QStringLiteral("runShellScript2 => NO param"));

    const RunResult run = runAndCollect(path, arguments.value_or(QStringList()));
    if (!run.started)
        return std::nullopt;
    if (run.exitCode != 0)
        consoleLog(QStringLiteral("runShellScript2 Task failed."));
    std::optional<QString> text = decodeUtf8(run.output);
    if (!text)
        return std::nullopt;
    consoleLog(QStringLiteral("runShellScript2 got back:\n%1\n").arg(*text));
    return text;
}

bool runShellScript(const QString &name, const std::optional<QStringList> &arguments)
{
    if (name.isEmpty()) {
        consoleLog(QStringLiteral("\n\nrunShellScript FAILED => scriptName==nil!\n\n"));
        return false;
    }
    consoleLog(QStringLiteral("runShellScript => scriptName = [%1]").arg(name));
    if (arguments)
        consoleLog(QStringLiteral("runShellScript => param = [%1]").arg(describeArguments(*arguments)));
    else
        consoleLog(QStringLiteral("runShellScript => NO param"));
    consoleLog(QStringLiteral("\n\n\n"));

    const QString program = paths::auxiliaryExecutable(name);
    if (program.isEmpty()) {
        consoleLog(QStringLiteral("\n\nrunShellScript FAILED => UNABLE to find script named: [%1]!\n\n").arg(name));
        return false;
    }
    const RunResult run = runAndCollect(program, arguments.value_or(QStringList()));
    if (!run.started)
        return false;
    consoleLog(run.exitCode == 0 ? QStringLiteral("Task succeeded.") : QStringLiteral("Task failed."));
    const QString text = decodeUtf8(run.output).value_or(QString());
    consoleLog(QStringLiteral("\n\n TestNSTask got back:\n%1\n\n\n").arg(text));
    if (text.contains(QLatin1String("not connected"), Qt::CaseInsensitive)) {
        consoleLog(QStringLiteral("\n\nTHERE IS NO INTERNET CONNECTION on ftp shell level...\n\n"));
        return false;
    }
    return true;
}

} // namespace vesk
