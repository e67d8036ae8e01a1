#include "FaultRun.h"

#include "schedule/Relaunch.h"

#include <QFile>

#include <csignal>

namespace vesk::test {

FaultRun::FaultRun(const QStringList &serviceArguments)
    : Scenario(serviceArguments)
{ }

FaultRun::~FaultRun()
{
    killProgram();
    for (qint64 pid : runningInstances())
        ::kill(static_cast<pid_t>(pid), SIGKILL);
}

QList<qint64> FaultRun::runningInstances() const
{
    QList<qint64> found;
    const QByteArray runtime = "XDG_RUNTIME_DIR=" + qgetenv("XDG_RUNTIME_DIR");
    for (const RunningApplication &app : runningApplications()) {
        QFile environment(QStringLiteral("/proc/%1/environ").arg(app.processIdentifier));
        if (environment.open(QIODevice::ReadOnly) && environment.readAll().split('\0').contains(runtime))
            found << app.processIdentifier;
    }
    return found;
}

bool FaultRun::startProgram()
{
    program.environment = environmentWithoutDisplay();
    program.environment.insert(QStringLiteral("VESK_TIME_SCALE"), QString::number(timeScale));
    program.environment.insert(QStringLiteral("VESK_HTTP_CONNECT_TIMEOUT"), QString::number(connectTimeout));
    program.environment.insert(QStringLiteral("VESK_HTTP_STALL_TIMEOUT"), QString::number(stallTimeout));
    for (auto it = programEnvironment.cbegin(); it != programEnvironment.cend(); ++it)
        program.environment.insert(it.key(), it.value());
    program.wrapper = programWrapper;
    fStarted = true;
    return program.launch(QStringList { QStringLiteral("--headless"), QStringLiteral("--endpoint"), service.url() }
        + programArguments + QStringList { source });
}

bool FaultRun::stopProgram(std::chrono::milliseconds limit)
{
    return program.stop(limit);
}

void FaultRun::killProgram()
{
    program.kill();
}

bool FaultRun::programRunning() const
{
    return program.isRunning();
}

QString FaultRun::programOutput() const
{
    return program.standardOutput();
}

QString FaultRun::programErrors() const
{
    return program.standardError();
}

QString FaultRun::gaveUp() const
{
    // A program that died will not settle anything.
    if (!fStarted || programRunning())
        return {};
    return QStringLiteral("the program ended: %1 %2\n%3")
        .arg(program.process().exitStatus() == QProcess::CrashExit ? QStringLiteral("crashed")
                                                                   : QStringLiteral("status"))
        .arg(program.process().exitCode())
        .arg(programErrors().right(3000));
}

} // namespace vesk::test
