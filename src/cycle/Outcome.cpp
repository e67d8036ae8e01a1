// AppController: what happens to a picture once the service has answered (or not).

#include "app/AppController.h"
#include "cycle/ItemBook.h"
#include "diag/Console.h"
#include "diag/TestHooks.h"
#include "files/FileOps.h"
#include "files/OpenedPicture.h"
#include "files/PathUtils.h"
#include "http/ServiceProbe.h"

#include <QFileInfo>

#include <mutex>

namespace vesk {

namespace {
// A transfer that failed is tried again after 2 s, then 4 s, ... at most 5 minutes later; the
// pictures behind it go first meanwhile.
constexpr double kRetryBaseSeconds = 2.0;
constexpr double kRetryMaxSeconds = 300.0;
// A picture answered with an address or network problem while others pass is parked at this answer.
constexpr int kMisdirectedAnswersToPark = 3;
} // namespace

void AppController::reportProgress(const char *what, const QString &item, const QString &detail)
{
    if (!fHeadless)
        return;
    static std::mutex outputLock;
    std::lock_guard<std::mutex> guard(outputLock);
    printStatusLine(QLatin1String(what),
        QStringLiteral("%1%2 (uploaded %3, in problem folder %4, to retry %5)")
            .arg(item, detail)
            .arg(fUploadedCount.load())
            .arg(fParkedCount.load())
            .arg(fItemBook->waitingForRetry().pictures),
        qstrcmp(what, "uploaded") == 0 ? LogPriority::Informational : LogPriority::Warning);
}

void AppController::showError(const QString &text)
{
    ibUpdateFTPCallbackStatusTextField(text, true);
    ibUpdateUploadStatusTextField(text);
}

void AppController::handleNotification_UploadDone(const Notification &)
{
    traceInside(kClassName, __func__);
    performOnMainThread([this] { ibUpdateProgressBar(QStringLiteral("NO")); });
    // The test and the halt in one step: a scripted resume may call the pause off meanwhile.
    std::lock_guard<std::recursive_mutex> guard(fThreadLock);
    if (gWantsToHaltProcess) {
        setDidHaltProcess(true);
        if (ButtonOutlet *button = ibPauseResumeButton) {
            performOnMainThread([button] {
                button->setTitle(QStringLiteral("Resume"));
                button->setEnabled(true);
                button->setTitle(QStringLiteral("Resume"));
            });
        }
    } else {
        consoleLog(QStringLiteral("Inside %1 => %2    gDidHaltProcess already set to [%3]...")
                       .arg(QLatin1String(kClassName), QLatin1String(__func__))
                       .arg(gDidHaltProcess ? 1 : 0));
    }
}

void AppController::handleNotification_UploadSuccess(const Notification &note)
{
    traceInside(kClassName, __func__);
    if (!note.userInfo) {
        consoleLog(QStringLiteral("Uknown Item to handle as success?????\n\n"));
    } else {
        const Info &info = *note.userInfo;
        const bool haveItem = info.contains(cDictKeyCurItem);
        const bool haveRoot = info.contains(cDictKeyLocalRootFolder);
        if (haveItem && haveRoot) {
            const QString item = info.value(cDictKeyCurItem).toString();
            const QString root = info.value(cDictKeyLocalRootFolder).toString();
            const QString full = pathutil::appendPathComponent(root, item);
            consoleLog(QStringLiteral("Preparing to Move [%1]/[%2]...").arg(root, item));
            if (!retriedAsChanged(note, item, full)) {
                fItemBook->forget(full);
                {
                    std::lock_guard<std::mutex> guard(fMisdirectedLock);
                    fMisdirectedRun.clear();
                }
                ++fUploadedCount;
                // A picture the service has taken is never sent again: if it cannot leave the source
                // folder now, only its move is tried again on later passes.
                const OpenedPictureRef opened = info.value(cDictKeyOpenedPicture).value<OpenedPictureRef>();
                if (!moveFileToPath(item, root, opened.get()) && QFileInfo::exists(full)) {
                    fItemBook->noteUnmoved(full, ItemBook::Destination::Mirror);
                    fStatus->notMoved();
                    myNSLog(QStringLiteral(
                        "Uploaded but could not be moved into the mirror folder; it will not be sent again: [%1]")
                                .arg(full));
                }
                reportProgress("uploaded", item);
                watchOutcome(WatchedOutcome::Uploaded, note.userInfo);
            }
        } else {
            if (!haveRoot)
                consoleLog(QStringLiteral("Inside %1 => %2... PASSED BAD cDictKeyLocalSourceUploadFolder")
                               .arg(QLatin1String(kClassName), QLatin1String(__func__)));
            if (!haveItem)
                consoleLog(QStringLiteral("Inside %1 => %2... PASSED BAD cDictKeyCurItem")
                               .arg(QLatin1String(kClassName), QLatin1String(__func__)));
        }
    }
    fCenter.post(cNotification_CleanUpAfterUpload, this, note.userInfo);
}

void AppController::handleNotification_UploadFail(const Notification &note)
{
    traceInside(kClassName, __func__);
    const ProblemPriority journal(failurePriority(note));
    bool stop = false;
    bool park = false;
    ibUpdateUploadStatusTextField(QString());
    if (note.userInfo) {
        const Info &info = *note.userInfo;
        const QString item = info.value(cDictKeyCurItem).toString();
        const QString root = info.value(cDictKeyLocalRootFolder).toString();
        const QString full = pathutil::appendPathComponent(root, item);
        if (info.contains(cDictKeyHttpServiceAway)) {
            // Not the picture's fault: it stays without a penalty, and no upload starts until the
            // service answers again.
            const QString line = info.value(cDictKeyHttpServiceAway).toString();
            showError(line);
            const QVariant retryAfter = info.value(cDictKeyHttpRetryAfter);
            if (fServiceProbe)
                fServiceProbe->serviceAway(line,
                    retryAfter.isValid() ? std::optional(retryAfter.toDouble()) : std::nullopt,
                    info.value(cDictKeyHttpWebPage).toBool());
            fStatus->foundAway(item, line);
            reportProgress("away", item);
            fCenter.post(cNotification_CleanUpAfterUpload, this, note.userInfo);
            return;
        }
        bool misdirectedPark = false;
        if (info.contains(cDictKeyHttpAddressProblem)) {
            const QString line = info.value(cDictKeyHttpAddressProblem).toString();
            showError(line);
            myNSLog(QStringLiteral("%1 [%2]").arg(line, full));
            std::vector<QString> run;
            {
                std::lock_guard<std::mutex> guard(fMisdirectedLock);
                if (fMisdirectedRun.empty() || fMisdirectedRun.back() != full)
                    fMisdirectedRun.push_back(full);
                run = fMisdirectedRun;
            }
            if (run.size() >= 2) {
                // Two pictures in a row: the address or the network is wrong, not the pictures. Nothing
                // is parked, and the cycle stands still as after a service error.
                for (const QString &picture : run)
                    fItemBook->forget(picture);
                fOnlyFailedLeft.reset(); // they count as never tried again
                fResumeAfter.reset();
                fStatus->serviceError(line);
                setStartedUploadProcess(false);
                forceProcessToPause();
                return;
            }
            if (fItemBook->failureCount(full) + 1 < kMisdirectedAnswersToPark) {
                retryLater(note, item, full);
                fCenter.post(cNotification_CleanUpAfterUpload, this, note.userInfo);
                return;
            }
            misdirectedPark = true; // alone, for the third time: this picture's own problem
        } else {
            std::lock_guard<std::mutex> guard(fMisdirectedLock);
            fMisdirectedRun.clear();
        }
        const bool transportError = info.contains(cDictKeyHttpError);
        if (transportError) {
            const QString description
                = info.value(cDictKeyHttpError).toMap().value(QStringLiteral("localizedDescription")).toString();
            consoleLog(QStringLiteral("Error logged as:\n%1\n\n").arg(description));
            showError(description);
            sleepFor(1.0);
        }
        if (info.contains(cDictKeyHttpCustomError)) {
            const QString text = info.value(cDictKeyHttpCustomError).toString();
            consoleLog(QStringLiteral("customErrorString logged as:\n%1\n\n").arg(text));
            showError(text);
            stop = true;
        }
        if (info.contains(cDictKeyHttpCustomStatus)) {
            const QString status = info.value(cDictKeyHttpCustomStatus).toString();
            const QString message = info.value(cDictKeyHttpCustomMessage).toString();
            if (status.compare(QLatin1String("ERROR"), Qt::CaseInsensitive) == 0) {
                showError(message);
                stop = true;
            }
            if (status.compare(QLatin1String("Warning"), Qt::CaseInsensitive) == 0) {
                showError(message);
                park = true;
            }
            if (status.compare(QLatin1String("OK"), Qt::CaseInsensitive) == 0) {
                ibUpdateFTPCallbackStatusTextField(message);
                ibUpdateUploadStatusTextField(message);
            }
        } else {
            consoleLog(QStringLiteral("NO statusString?????"));
        }
        if (info.contains(cDictKeyHttpStatusCode) && !misdirectedPark) {
            const qlonglong code = info.value(cDictKeyHttpStatusCode).toLongLong();
            if (code != 200) {
                showError(QStringLiteral("HTTP Server Returned Status Code: %1").arg(code));
                sleepFor(2.0);
                park = true;
            }
        }

        // A picture taken out of the source folder on its way is neither parked nor tried again.
        const OpenedPictureRef opened = info.value(cDictKeyOpenedPicture).value<OpenedPictureRef>();
        const bool gone = (park || misdirectedPark || transportError) && !item.isEmpty()
            && (opened ? !opened->isStillNamed() : !QFileInfo::exists(full));
        if (gone) {
            fItemBook->forget(full);
            myNSLog(QStringLiteral("Gone from the source folder before it was sent: [%1]").arg(full));
            reportProgress("gone", item);
            watchOutcome(WatchedOutcome::Gone, note.userInfo);
        } else if (park || misdirectedPark) {
            const bool known = !item.isEmpty() && info.contains(cDictKeyLocalRootFolder);
            if (known && retriedAsChanged(note, item, full)) {
                // Judged on part of a picture: not a rejection of the picture itself.
            } else if (known) {
                const std::optional<QString> problem = getLocalProblemUploadFolder();
                if (problem)
                    fileops::makeFoldersBeneath(*problem, pathutil::deletingLastPathComponent(item));
                consoleLog(QStringLiteral("Preparing to Move [%1]/[%2]...").arg(root, item));
                fItemBook->forget(full);
                // Never replace a picture already in the problem folder; when the move cannot be
                // made, the picture is remembered so that it is not sent again and again.
                if (!moveFileToPath(item, root, problem, false, false, opened.get()) && QFileInfo::exists(full)) {
                    fItemBook->noteUnmoved(full, ItemBook::Destination::Problem);
                    myNSLog(QStringLiteral(
                        "Rejected but could not be moved into the problem folder; it will not be sent again: [%1]")
                                .arg(full));
                    reportProgress("not parked", item);
                } else {
                    ++fParkedCount;
                    reportProgress("problem", item);
                    watchOutcome(WatchedOutcome::Parked, note.userInfo);
                }
            } else {
                if (!info.contains(cDictKeyLocalRootFolder))
                    consoleLog(QStringLiteral("Inside %1 => %2... PASSED BAD cDictKeyLocalSourceUploadFolder")
                                   .arg(QLatin1String(kClassName), QLatin1String(__func__)));
                if (item.isEmpty())
                    consoleLog(QStringLiteral("Inside %1 => %2... PASSED BAD cDictKeyCurItem")
                                   .arg(QLatin1String(kClassName), QLatin1String(__func__)));
            }
        } else if (transportError && !item.isEmpty()) {
            retryLater(note, item, full);
        }
    }
    if (stop) {
        watchOutcome(WatchedOutcome::ServiceError, note.userInfo);
        setStartedUploadProcess(false);
        forceProcessToPause();
        return;
    }
    fCenter.post(cNotification_CleanUpAfterUpload, this, note.userInfo);
}

bool AppController::retriedAsChanged(const Notification &note, const QString &item, const QString &full)
{
    testHook("before-move", item);
    const OpenedPictureRef opened = note.userInfo->value(cDictKeyOpenedPicture).value<OpenedPictureRef>();
    if (!opened || opened->isUnchanged())
        return false;
    myNSLog(QStringLiteral("The picture changed after its upload started; it is sent again, whole: [%1]").arg(full));
    retryLater(note, item, full);
    return true;
}

void AppController::retryLater(const Notification &note, const QString &item, const QString &full)
{
    if (fItemBook->failureCount(full) == 0)
        ++fFailedCount;
    ++fFailedAttempts;
    const double delay = fItemBook->noteTransferFailure(
        full, kRetryBaseSeconds * fOptions.timeScale, kRetryMaxSeconds * fOptions.timeScale);
    reportProgress("retry", item, QStringLiteral(" in %1 s").arg(delay, 0, 'g', 3));
    watchOutcome(WatchedOutcome::TransferFailed, note.userInfo);
}

void AppController::handleNotification_CleanUpAfterUpload(const Notification &note)
{
    traceInside(kClassName, __func__);
    if (note.userInfo)
        note.userInfo->clear();
    setStartedUploadProcess(false);
    if (gDidHaltProcess) {
        consoleLog(QStringLiteral("\n\n\n                   Process was HALTED....\n\n\n"));
        ibUpdateFTPCallbackStatusTextField(QStringLiteral("Process Paused..."));
        return;
    }
    // On the scan worker, the next pass starts once this one has ended: it neither waits for it nor
    // meets it still running (which would cost a second re-open).
    requestReopen("scan");
}

} // namespace vesk
