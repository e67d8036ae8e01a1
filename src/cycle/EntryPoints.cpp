// AppController: the entry points through which a pass begins, the re-open worker, and the
// handlers of the cycle's own notifications.

#include "app/AppController.h"
#include "app/TimedWait.h"
#include "cycle/ItemBook.h"
#include "diag/Console.h"
#include "diag/Describe.h"
#include "diag/MessageLog.h"
#include "http/ServiceProbe.h"
#include "prefs/LoginNameToFtpNameTransformer.h"

#include <QThread>

namespace vesk {

bool AppController::applicationOpenFile(const QString &path)
{
    const QString trace = QStringLiteral("Inside %1 => %2...").arg(QLatin1String(kClassName), QLatin1String(__func__));
    MessageLog::LogMessage(trace);
    {
        // The test and the setting are one step, so two openers never both get through.
        std::lock_guard<std::recursive_mutex> guard(fThreadLock);
        if (gInsideOpenFile) {
            MessageLog::LogMessage(trace + QStringLiteral("  Another Instance is ALREADY RUNNING...."));
            return true;
        }
        setIsInsideOpenFile(true);
    }
    if (gStartedUploadProcess) {
        setIsInsideOpenFile(false);
        MessageLog::LogMessage(trace + QStringLiteral("  An UPLOAD Process Is Still In Progress...."));
        return false;
    }
    if (!validateUserInfoBeforeUploading(path)) {
        setIsInsideOpenFile(false);
        return false;
    }
    cancelRetriggerTimerOnMainThread();
    getCurrentLoginInfo();
    getUserEnteredEventName();
    {
        std::lock_guard<std::mutex> guard(fLoginLock);
        fRootFolder = path;
    }

    Info request;
    request.insert(cDictKeyLocalRootFolder, path);
    if (const std::optional<QString> mirror = getLocalMasterMirrorSiteFolder())
        request.insert(cDictKeyLocalMirrorFolder, *mirror);
    if (const std::optional<QString> event = curEventName())
        request.insert(cDictKeyUserEnteredEventName, *event);
    // On screen before the scan starts: the scan worker's first texts would be dropped by a window
    // that is still hidden (after a hidden start, the first pass's picture name and status).
    WindowOutlet *window = ibMainWindow;
    if (window && !window->isVisible())
        performOnMainThread([window] { window->orderFront(); }, true);
    fCenter.post(cNotification_ScanFolder, this, makeInfo(request));

    if (window) {
        ibUpdateLoginName(curUserName() + QLatin1Char('.') + QLatin1String(kServiceDomain));
        ibUpdateUploadMainPath(path + QLatin1Char('/'));
        ibUpdateSourceFolderPath(path);
    }
    setIsInsideOpenFile(false);
    return true;
}

void AppController::ibUserClickedOnSynchronize()
{
    consoleLog(QStringLiteral("ibUserClickedOnSynchronize..."));
    if (gStartedUploadProcess) {
        consoleLog(QStringLiteral("ibUserClickedOnSynchronize - an upload process in progress..."));
        beep();
        beep();
        return;
    }
    if (!validateUserInfoBeforeUploading(std::nullopt))
        return;
    saveLoginInfo();
    if (const std::optional<QString> source = getLocalSourceUploadFolder())
        applicationOpenFile(*source);
}

void AppController::makeWaitingPicturesDue()
{
    fItemBook->makeAllDue();
    if (fServiceProbe)
        fServiceProbe->checkNow();
}

void AppController::ibClickedOnRetryNow()
{
    consoleLog(QStringLiteral("Retry Now: every waiting picture is due"));
    makeWaitingPicturesDue();
    if (gStartedUploadProcess || gDidHaltProcess || gWantsToHaltProcess || serviceIsAway())
        return; // the running pass goes on to them; a halted cycle waits for Resume; the check starts the pass
    ibUserClickedOnSynchronize();
}

void AppController::ibClickedOnSynchronizeAgain()
{
    makeWaitingPicturesDue();
    if (gStartedUploadProcess && gDidHaltProcess) {
        ViewOutlet *sender = ibMainWindow ? ibMainWindow->viewWithTag(111) : nullptr;
        ibClickedOnHalt(sender ? sender : ibPauseResumeButton);
        return;
    }
    if (gStartedUploadProcess) {
        consoleLog(QStringLiteral("ibClickedOnSynchronizeAgain - an upload process in progress..."));
        return;
    }
    ibUserClickedOnSynchronize();
}

void AppController::requestReopen(const char *afterTask)
{
    {
        std::lock_guard<std::mutex> guard(fReopenLock);
        if (fReopenPending)
            return; // the worker that is waiting serves this request too
        fReopenPending = true;
    }
    if (!detachThread(
            "reopen", [this] { openFileOnMainThread(); }, afterTask)) {
        std::lock_guard<std::mutex> guard(fReopenLock);
        fReopenPending = false;
    }
}

void AppController::openFileOnMainThread()
{
    std::lock_guard<std::mutex> serial(fReopenSerial);
    const QString waiting = QStringLiteral("Inside %1 => %2... Need to Wait for OpenFile to be Free...")
                                .arg(QLatin1String(kClassName), QLatin1String(__func__));
    {
        std::unique_lock<std::mutex> guard(fFlagCvLock);
        while (gInsideOpenFile && !fStopping) {
            consoleLog(waiting);
            timedWait(fFlagCv, guard, std::chrono::milliseconds(500), [this] { return !gInsideOpenFile || fStopping; });
        }
    }
    {
        // From here on a new request needs a worker of its own: this one has taken what came before.
        std::lock_guard<std::mutex> guard(fReopenLock);
        fReopenPending = false;
    }
    if (fStopping)
        return;
    if (const std::optional<QString> source = getLocalSourceUploadFolder())
        applicationOpenFile(*source);
}

void AppController::handleNotification_ScanFolder(const Notification &note)
{
    traceInside(kClassName, __func__);
    // A re-open worker hands its thread on to the scan it asked for.
    detachThread(
        "scan", [this, note] { scanFolderOnMainThread(note); }, "reopen");
}

void AppController::handleNotification_CleanUpAfterCompleteLoop(const Notification &note)
{
    traceInside(kClassName, __func__);
    fStatus->passFoundNothing();
    if (note.userInfo)
        note.userInfo->clear();
    setStartedUploadProcess(false);
}

void AppController::handleNotification_UpdateProgressWindow(const Notification &note)
{
    traceInside(kClassName, __func__);
    if (!note.userInfo) {
        consoleLog(QStringLiteral("Uknown Item to handle as success?????\n\n"));
        return;
    }
    consoleLog(QStringLiteral("Info to check is:\n%1\n\n").arg(describe(*note.userInfo)));
    const Info &info = *note.userInfo;
    if (ibFTPCallbackStatusField && info.contains(cDictKeyDisplayCallbackStatus))
        ibUpdateFTPCallbackStatusTextField(info.value(cDictKeyDisplayCallbackStatus).toString());
    if (ibFileNameField && info.contains(cDictKeyDisplayUploadName))
        ibUpdateFileNameField(info.value(cDictKeyDisplayUploadName).toString());
    if (ibUploadFileStatusField && info.contains(cDictKeyDisplayUploadStatus))
        ibUpdateUploadStatusTextField(info.value(cDictKeyDisplayUploadStatus).toString());
    consoleLog(QStringLiteral("\n\nDONE %1 => %2...\n\n").arg(QLatin1String(kClassName), QLatin1String(__func__)));
}

void AppController::handleNotification_Retrigger(const Notification &)
{
    consoleLog(QStringLiteral("Inside %1 => %2... NOT DOING ANYTHING....")
                   .arg(QLatin1String(kClassName), QLatin1String(__func__)));
}

void AppController::handleNotification_DebugMoveItemsBack(const Notification &)
{
    traceInside(kClassName, __func__);
    ibUpdateFTPCallbackStatusTextField(QStringLiteral("Moving Files Back for Debugging..."));
}

void AppController::scheduleDeferredPass(const QDateTime &when)
{
    performOnMainThread([this, when] {
        if (fStopping)
            return;
        if (!fDeferredTimer) {
            fDeferredTimer = new QTimer(this);
            fDeferredTimer->setSingleShot(true);
            // The pass for pictures that had to wait is no trigger: a cycle stopped (by a service error,
            // by a wrong address) stands still until one.
            connect(fDeferredTimer, &QTimer::timeout, this, [this] {
                if (!fStatus->snapshot().serviceError)
                    requestReopen();
            });
        }
        const qint64 wait = std::max<qint64>(0, QDateTime::currentDateTimeUtc().msecsTo(when));
        // Keep the earliest moment when one is already set.
        if (fDeferredTimer->isActive() && fDeferredTimer->remainingTime() <= wait)
            return;
        fDeferredTimer->start(static_cast<int>(std::min<qint64>(wait, 24LL * 3600 * 1000)));
    });
}

} // namespace vesk
