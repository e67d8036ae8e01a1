#include "ServiceProcess.h"

#include "TestSupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>

#include <csignal>

#include <sys/prctl.h>

namespace vesk::test {

namespace {

const QByteArray kListening = "listening on "; // http or https, then ://127.0.0.1:PORT

} // namespace

bool parseServiceUpload(const QByteArray &line, ServiceUpload &upload)
{
    const QJsonDocument document = QJsonDocument::fromJson(line);
    const QJsonObject record = document.object();
    const auto text = [&](const char *key) { return record.value(QLatin1String(key)).toString(); };
    const auto number = [&](const char *key) { return record.value(QLatin1String(key)).toInteger(); };
    upload = ServiceUpload { record.value(QStringLiteral("fields")).toObject(), text("filename"), text("stored"),
        number("size"), text("sha256"), text("outcome"), text("time"), number("receivedMs"), number("completedMs"),
        record };
    return document.isObject();
}

ServiceProcess::ServiceProcess(const QStringList &arguments, const QString &storage)
    : fStorage(storage.isEmpty() ? fDir.path() + QStringLiteral("/storage") : QDir(storage).absolutePath())
    , fArguments(arguments)
{ }

ServiceProcess::~ServiceProcess()
{
    stop();
}

void ServiceProcess::addArguments(const QStringList &arguments)
{
    fArguments += arguments;
}

void ServiceProcess::addRule(const QString &pattern, const QString &outcome)
{
    fArguments << QStringLiteral("--rule") << pattern + QLatin1Char('=') + outcome;
}

void ServiceProcess::setUsers(const QList<QPair<QString, QString>> &logins)
{
    QByteArray text;
    for (const auto &[login, password] : logins)
        text += login.toUtf8() + ':' + password.toUtf8() + '\n';
    const QString path = fDir.path() + QStringLiteral("/users.txt");
    writeFile(path, text);
    fArguments << QStringLiteral("--users") << path;
}

void ServiceProcess::setPort(int port)
{
    fPort = port;
}

QString ServiceProcess::logPath() const
{
    return fDir.path() + QStringLiteral("/service-stderr.log");
}

QString ServiceProcess::uploadLogPath() const
{
    return fStorage + QStringLiteral("/uploads.jsonl");
}

QString ServiceProcess::url() const
{
    return baseUrl() + QStringLiteral("/index.php");
}

QString ServiceProcess::baseUrl() const
{
    return fScheme + QStringLiteral("://127.0.0.1:") + QString::number(fPort);
}

bool ServiceProcess::isRunning() const
{
    return fProcess && fProcess->state() != QProcess::NotRunning;
}

qint64 ServiceProcess::processId() const
{
    return isRunning() ? fProcess->processId() : 0;
}

bool ServiceProcess::start(std::chrono::milliseconds limit)
{
    fError = isRunning() ? QStringLiteral("already running") : QString();
    if (isRunning())
        return false;
    fProcess = std::make_unique<QProcess>();
    fProcess->setStandardErrorFile(logPath(), QIODevice::Append);
    fProcess->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    fProcess->start(buildBinFolder() + QStringLiteral("/vesk-photo-service"),
        QStringList { QStringLiteral("--port"), QString::number(fPort), QStringLiteral("--storage"), fStorage }
            + fArguments,
        QIODevice::ReadOnly);
    // Its first line says where it listens.
    const QDeadlineTimer deadline(limit);
    QByteArray output;
    while (!output.contains('\n') && fProcess->state() != QProcess::NotRunning && !deadline.hasExpired()) {
        fProcess->waitForReadyRead(50);
        output += fProcess->readAllStandardOutput();
    }
    const qsizetype at = output.indexOf(kListening);
    const QByteArray url = at < 0 ? QByteArray() : output.mid(at + kListening.size()).split('\n').constFirst();
    const int port = url.mid(url.lastIndexOf(':') + 1).toInt();
    if (port > 0 && url.startsWith("http")) {
        fPort = port;
        fScheme = QString::fromLatin1(url.left(url.indexOf(':')));
        return true;
    }
    fError = QStringLiteral("the service did not report listening: ") + QString::fromUtf8(output) + log();
    stop();
    return false;
}

bool ServiceProcess::stop(std::chrono::milliseconds limit)
{
    if (!fProcess)
        return true;
    bool clean = true;
    if (fProcess->state() != QProcess::NotRunning) {
        fProcess->terminate();
        if (!fProcess->waitForFinished(int(limit.count()))) {
            clean = false;
            fProcess->kill();
            fProcess->waitForFinished(5000);
        }
    }
    clean = clean && fProcess->exitStatus() == QProcess::NormalExit && fProcess->exitCode() == 0;
    if (!clean && fError.isEmpty())
        fError = QStringLiteral("the service did not end cleanly (exit code ") + QString::number(fProcess->exitCode())
            + QStringLiteral(")");
    fProcess.reset();
    return clean;
}

QList<ServiceUpload> ServiceProcess::uploads() const
{
    QList<ServiceUpload> result;
    QFile file(uploadLogPath());
    if (!file.open(QIODevice::ReadOnly))
        return result;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        ServiceUpload upload;
        if (line.endsWith('\n') && parseServiceUpload(line, upload))
            result.append(upload);
    }
    return result;
}

bool ServiceProcess::waitForUploads(int count, std::chrono::milliseconds limit) const
{
    return waitFor([&] { return uploads().size() >= count; }, limit);
}

QString ServiceProcess::log() const
{
    return readText(logPath());
}

} // namespace vesk::test
