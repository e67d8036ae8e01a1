// AppController: replacing the running process with a fresh instance of the program.

#include "schedule/Relaunch.h"

#include "app/AppController.h"
#include "app/Paths.h"
#include "diag/Console.h"
#include "diag/Describe.h"
#include "diag/MessageLog.h"
#include "files/PathUtils.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <cstdlib>
#include <unistd.h>

namespace vesk {

bool isOwnApplicationPath(const QString &path)
{
    const QString name = pathutil::deletingPathExtension(pathutil::lastPathComponent(path));
    return name.compare(QLatin1String(kOwnApplicationName), Qt::CaseInsensitive) == 0;
}

std::vector<RunningApplication> runningApplications()
{
    std::vector<RunningApplication> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric)
            continue;
        const QString program = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
        if (program.isEmpty() || !isOwnApplicationPath(program))
            continue;
        found.push_back(RunningApplication { program, pid });
    }
    std::sort(found.begin(), found.end(),
        [](const auto &a, const auto &b) { return a.processIdentifier < b.processIdentifier; });
    return found;
}

namespace {
void veskNSTaskRelaunchSelf()
{
    const QString ownPath = paths::applicationFilePath();
    consoleLog(QStringLiteral("\n\n Inside veskNSTaskRelaunchSelf\n\n"));
    consoleLog(QStringLiteral("Our Current Application Bundle is: [%1]").arg(ownPath));
    const std::vector<RunningApplication> running = runningApplications();
    if (running.empty())
        return;
    qint64 pid = -1;
    for (const RunningApplication &app : running) {
        consoleLog(QStringLiteral("Found an Object Dictionary of:\n%1")
                       .arg(describe(QVariantMap { { QStringLiteral("NSApplicationPath"), app.path },
                           { QStringLiteral("NSApplicationProcessIdentifier"), app.processIdentifier } })));
        // This instance, if it is listed; else the first one (the list is in process order).
        if (app.processIdentifier == ::getpid() || pid < 0)
            pid = app.processIdentifier;
        if (app.processIdentifier == ::getpid())
            break;
    }
    consoleLog(QStringLiteral("FOUND our APP with processID = [%1]").arg(pid));
    if (pid <= 0)
        return;
    const QString helper = paths::auxiliaryExecutable(QStringLiteral("vesk-relaunch"));
    if (helper.isEmpty()) {
        consoleLog(QStringLiteral(
            "\n\nveskNSTaskRelaunchSelf Failed to find the helperApp called: [vesk-relaunch]??????\n\n"));
        return;
    }
    const QString param1 = QLatin1Char('"') + ownPath + QLatin1Char('"');
    const QString param2 = QString::number(pid);
    consoleLog(QStringLiteral("veskNSTaskRelaunchSelf => command = [%1]").arg(helper));
    consoleLog(QStringLiteral("veskNSTaskRelaunchSelf => param1 = [%1]").arg(param1));
    consoleLog(QStringLiteral("veskNSTaskRelaunchSelf => param2 = [%1]").arg(param2));
    // Detached, it inherits this process's standard streams, and so does the instance it starts: a
    // relaunched instance writes where the first one did.
    QProcess process;
    process.setProgram(helper);
    process.setArguments({ param1, param2 });
    process.startDetached();
}

[[noreturn]] void forceToRestart()
{
    const QString line(72, QLatin1Char('*'));
    consoleLog(QStringLiteral("\n\n"));
    consoleLog(line);
    consoleLog(QStringLiteral("  WE ARE FORCING  RESTART...."));
    MessageLog::LogMessage(QStringLiteral("NEED TO FORCE a RESTART..."));
    consoleLog(line);
    consoleLog(QStringLiteral("\n\n"));
    ::usleep(1500 * 1000);

    const QString pid = QString::asprintf("%d", static_cast<int>(::getpid()));
    const QString ownPath = paths::applicationFilePath();
    // The shell outlives this process: it kills it, then starts the program again with this
    // process's standard streams. The relaunch helper, once it sees this process gone, starts the
    // program only when the shell did not: it knows the shell and its successor by their mark.
    QProcess shell;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("VESK_RELAUNCHED_FROM"), pid);
    shell.setProcessEnvironment(environment);
    shell.setProcessChannelMode(QProcess::ForwardedChannels);
    shell.setInputChannelMode(QProcess::ForwardedInputChannel);
    shell.start(QStringLiteral("/bin/sh"),
        { QStringLiteral("-c"), QStringLiteral("kill -9 $1 \n exec \"$2\""), QString(), pid, ownPath });
    shell.waitForFinished(-1);
    consoleLog(QStringLiteral("*** ERROR: %1 should have been terminated, but we are still running").arg(ownPath));
    qFatal("We should not be running!");
}
} // namespace

std::optional<int> relaunchExitStatus()
{
    const QByteArray text = qgetenv("VESK_RELAUNCH_EXIT").trimmed();
    if (text.isEmpty())
        return std::nullopt;
    bool ok = false;
    const int status = text.toInt(&ok);
    if (!ok || status < 1 || status > 255) {
        consoleLog(QStringLiteral("VESK_RELAUNCH_EXIT=%1 is not an exit status from 1 to 255; it is ignored")
                       .arg(QString::fromLocal8Bit(text)));
        return std::nullopt;
    }
    return status;
}

void AppController::doRelaunchThisApp()
{
    traceInside(kClassName, __func__);
    // Under a service manager the fresh instance is its job: a process started here would stay in
    // the service's group, and the manager takes the end of the main process for the end of all.
    if (const std::optional<int> status = relaunchExitStatus()) {
        MessageLog::LogMessage(QStringLiteral("Relaunch: ending with status %1 (VESK_RELAUNCH_EXIT) so that the "
                                              "service manager starts a fresh instance")
                                   .arg(*status),
            true);
        terminate(*status);
        return;
    }
    // The new instance starts from what is on disk and in the environment: keep this run's
    // endpoint and headless mode for it.
    if (httpController())
        qputenv(
            "VESK_UPLOAD_URL", fOptions.endpoint.isEmpty() ? qgetenv("VESK_UPLOAD_URL") : fOptions.endpoint.toUtf8());
    if (fHeadless)
        qputenv("VESK_HEADLESS", "1");
    if (!fOptions.metricsTextfile.isEmpty()) {
        qputenv("VESK_METRICS_TEXTFILE", QFile::encodeName(fOptions.metricsTextfile));
        qputenv("VESK_METRICS_LABEL", fOptions.metricsLabel.toUtf8());
    }
    veskNSTaskRelaunchSelf();
    forceToRestart();
}

} // namespace vesk
