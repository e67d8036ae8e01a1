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
    if (!document.isObject())
        return false;
    const QJsonObject record = document.object();
    upload.raw = record;
    upload.fields = record.value(QStringLiteral("fields")).toObject();
    upload.filename = record.value(QStringLiteral("filename")).toString();
    upload.stored = record.value(QStringLiteral("stored")).toString();
    upload.size = record.value(QStringLiteral("size")).toInteger();
    upload.sha256 = record.value(QStringLiteral("sha256")).toString();
    upload.outcome = record.value(QStringLiteral("outcome")).toString();
    upload.time = record.value(QStringLiteral("time")).toString();
    upload.receivedMs = record.value(QStringLiteral("receivedMs")).toInteger();
    upload.completedMs = record.value(QStringLiteral("completedMs")).toInteger();
    return true;
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
    fError.clear();
    if (isRunning()) {
        fError = QStringLiteral("already running");
        return false;
    }
    const QString folder = buildBinFolder();
    if (folder.isEmpty()) {
        fError = QStringLiteral("VESK_TOOLS_DIR is not set");
        return false;
    }
    fProcess = std::make_unique<QProcess>();
    fProcess->setProgram(folder + QStringLiteral("/vesk-photo-service"));
    fProcess->setArguments(
        QStringList { QStringLiteral("--port"), QString::number(fPort), QStringLiteral("--storage"), fStorage }
        + fArguments);
    fProcess->setStandardErrorFile(logPath(), QIODevice::Append);
    fProcess->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    fProcess->start(QIODevice::ReadOnly);

    const QDeadlineTimer deadline(limit);
    QByteArray output;
    for (;;) {
        output += fProcess->readAllStandardOutput();
        const qsizetype at = output.indexOf(kListening);
        const qsizetype end = at < 0 ? -1 : output.indexOf('\n', at);
        if (end >= 0) {
            const QByteArray url = output.mid(at + kListening.size(), end - at - kListening.size());
            bool ok = false;
            const int port = url.mid(url.lastIndexOf(':') + 1).toInt(&ok);
            if (ok && port > 0 && url.startsWith("http")) {
                fPort = port;
                fScheme = QString::fromLatin1(url.left(url.indexOf(':')));
                return true;
            }
            fError = QStringLiteral("unexpected output: ") + QString::fromUtf8(output);
            break;
        }
        if (fProcess->state() == QProcess::NotRunning) {
            fError = QStringLiteral("the service ended: ") + fProcess->errorString() + QLatin1Char('\n') + log();
            break;
        }
        if (deadline.hasExpired()) {
            fError = QStringLiteral("the service did not report listening in time\n") + log();
            break;
        }
        fProcess->waitForReadyRead(int(std::max<qint64>(1, std::min<qint64>(deadline.remainingTime(), 100))));
    }
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
