// AppController: what the cycle reports to CycleStatus, and the status it adds from its own flags,
// counters and timers.

#include "app/AppController.h"
#include "cycle/ItemBook.h"
#include "diag/Console.h"
#include "diag/OutcomeHistory.h"
#include "files/OpenedPicture.h"
#include "files/PathUtils.h"
#include "http/HttpController.h"

#include <QFileInfo>
#include <QUrl>

namespace vesk {

namespace {
bool isServiceError(const Info &info)
{
    return info.contains(CycleNames::cDictKeyHttpCustomError)
        || info.value(CycleNames::cDictKeyHttpCustomStatus)
               .toString()
               .compare(QLatin1String("ERROR"), Qt::CaseInsensitive)
        == 0;
}

// What the outcome handler shows for a failure, in one line.
QString failureText(AppController::WatchedOutcome outcome, const Info &info)
{
    using Names = CycleNames;
    const QString message = info.value(Names::cDictKeyHttpCustomMessage).toString();
    switch (outcome) {
    case AppController::WatchedOutcome::TransferFailed:
        return info.value(Names::cDictKeyHttpError).toMap().value(QStringLiteral("localizedDescription")).toString();
    case AppController::WatchedOutcome::ServiceError:
        return info.contains(Names::cDictKeyHttpCustomError) ? info.value(Names::cDictKeyHttpCustomError).toString()
                                                             : message;
    case AppController::WatchedOutcome::Parked:
        if (info.contains(Names::cDictKeyHttpStatusCode)
            && info.value(Names::cDictKeyHttpStatusCode).toLongLong() != 200) {
            const QString code = QStringLiteral("HTTP Server Returned Status Code: %1")
                                     .arg(info.value(Names::cDictKeyHttpStatusCode).toLongLong());
            return message.isEmpty() ? code : code + QStringLiteral(" (") + message + QLatin1Char(')');
        }
        return message;
    case AppController::WatchedOutcome::Uploaded:
    case AppController::WatchedOutcome::Gone:
        break;
    }
    return {};
}
// The outcome as the history names it.
QString outcomeName(AppController::WatchedOutcome outcome)
{
    switch (outcome) {
    case AppController::WatchedOutcome::Uploaded:
        return QStringLiteral("uploaded");
    case AppController::WatchedOutcome::Parked:
        return QStringLiteral("parked");
    case AppController::WatchedOutcome::TransferFailed:
        return QStringLiteral("transfer failed");
    case AppController::WatchedOutcome::ServiceError:
        return QStringLiteral("stopped by a service error");
    case AppController::WatchedOutcome::Gone:
        return QStringLiteral("gone from the source folder");
    }
    return {};
}
} // namespace

void AppController::watchUploadStarted(const Info &info)
{
    fStatus->uploadStarted(
        info.value(cDictKeyCurItem).toString(), QFileInfo(info.value(cDictKeyFileName).toString()).size());
}

void AppController::watchOutcome(WatchedOutcome outcome, const InfoRef &record)
{
    const Info info = record ? *record : Info();
    const QString item = info.value(cDictKeyCurItem).toString();
    if (!item.isEmpty()) {
        // The size of the very file that was sent; it may have left the source folder by now.
        const OpenedPictureRef opened = info.value(cDictKeyOpenedPicture).value<OpenedPictureRef>();
        const qint64 size
            = opened ? qint64(opened->status().st_size) : QFileInfo(info.value(cDictKeyFileName).toString()).size();
        fHistory->append(QDateTime::currentDateTime(), item, size, outcomeName(outcome), failureText(outcome, info));
    }
    switch (outcome) {
    case WatchedOutcome::Uploaded:
        fStatus->uploaded(item);
        break;
    case WatchedOutcome::Parked:
        fStatus->parked(item, failureText(outcome, info));
        break;
    case WatchedOutcome::TransferFailed:
        fStatus->transferFailed(item, failureText(outcome, info),
            fItemBook->failureCount(pathutil::appendPathComponent(info.value(cDictKeyLocalRootFolder).toString(), item))
                <= 1);
        break;
    case WatchedOutcome::ServiceError:
        fStatus->serviceError(failureText(outcome, info));
        break;
    case WatchedOutcome::Gone:
        fStatus->gone(item);
        break;
    }
}

LogPriority AppController::failurePriority(const Notification &note) const
{
    return note.userInfo && isServiceError(*note.userInfo) ? LogPriority::Error : LogPriority::Warning;
}

QString AppController::settingsRefusedLine(const QString &reason)
{
    return QStringLiteral("The settings were refused, no pass starts: %1").arg(reason);
}

void AppController::watchSettingsChecked(bool accepted, const ConsoleCapture &lines)
{
    if (accepted) {
        fStatus->settingsChecked(true, QString());
        return;
    }
    // The check's refusals, without its trace lines.
    QStringList reasons;
    for (const QString &line : lines.lines()) {
        const QString text = line.trimmed();
        if (!text.isEmpty() && !text.startsWith(QLatin1String("Inside "))
            && !text.startsWith(QLatin1String("Checking for folder"))
            && !text.startsWith(QLatin1String("fCurEventName = ")))
            reasons << text;
    }
    const QString reason
        = reasons.isEmpty() ? QStringLiteral("the settings are incomplete") : reasons.join(QStringLiteral("; "));
    fStatus->settingsChecked(false, reason);
    const QString line = settingsRefusedLine(reason);
    myNSLog(line, LogPriority::Error);
    const ProblemPriority priority(LogPriority::Error);
    // The window's status line in red (a hidden window gets it when it shows), and the "error" line.
    ibUpdateFTPCallbackStatusTextField(line, true);
}

AppController::StatusReport AppController::statusReport() const
{
    StatusReport report;
    report.cycle = fStatus->snapshot();
    if (report.cycle.settingsRefused)
        report.state = QStringLiteral("settings refused");
    else if (report.cycle.serviceError)
        report.state = QStringLiteral("stopped by a service error");
    else if (gDidHaltProcess)
        report.state = QStringLiteral("halted");
    else if (gWantsToHaltProcess)
        report.state = QStringLiteral("pause requested");
    else if (gStartedUploadProcess)
        report.state = QStringLiteral("uploading");
    else if (gIsScanning)
        report.state = QStringLiteral("scanning");
    else
        report.state = QStringLiteral("idle and waiting");
    report.uploaded = fUploadedCount;
    report.parked = fParkedCount;
    report.transferFailures = fFailedCount;
    report.failedAttempts = fFailedAttempts;
    const ItemBook::Waiting waiting = fItemBook->waitingForRetry();
    report.waitingForRetry = waiting.pictures;
    report.nextRetry = waiting.nextTry;
    for (const QTimer *timer : std::initializer_list<const QTimer *> { fRepeatTimer.data(), fDeferredTimer }) {
        if (timer && timer->isActive()) {
            const QDateTime due = QDateTime::currentDateTime().addMSecs(timer->remainingTime());
            if (!report.nextPass || due < *report.nextPass)
                report.nextPass = due;
        }
    }
    if (fHttpController) {
        report.endpoint = fHttpController->endpoint();
        report.host = QUrl(report.endpoint).host();
    }
    report.addressSource = addressSource();
    report.passwordSource = passwordSource();
    report.sourceFolder = getLocalSourceUploadFolder();
    report.mirrorFolder = getLocalMasterMirrorSiteFolder();
    report.problemFolder = getLocalProblemUploadFolder();
    return report;
}

} // namespace vesk
