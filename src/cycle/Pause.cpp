// AppController: halting, pausing and resuming the cycle between pictures.

#include "app/AppController.h"
#include "app/TimedWait.h"
#include "diag/Console.h"
#include "diag/Describe.h"
#include "diag/MessageLog.h"

namespace vesk {

namespace {
QString describeSender(const ViewOutlet *sender)
{
    return QStringLiteral("<view tag %1>").arg(sender ? sender->tag() : 0);
}
} // namespace

void AppController::ibClickedOnHalt(ViewOutlet *sender)
{
    MessageLog::LogMessage(QStringLiteral("ibClickedOnHalt\n"));
    ViewOutlet *view = sender;
    if (!sender) {
        MessageLog::LogMessage(QStringLiteral("ibClickedOnHalt sender is NIL\n"));
        view = ibPauseResumeButton;
    } else {
        consoleLog(QStringLiteral("ibClickedOnHalt is from sender:\n%1\n\n").arg(describeSender(sender)));
    }
    auto *button = dynamic_cast<ButtonOutlet *>(view);

    if (gDidHaltProcess) {
        setWantsToHaltProcess(false);
        setDidHaltProcess(false);
        if (button)
            performOnMainThread([button] { button->setTitle(QStringLiteral("Pause")); });
        ibUpdateFTPCallbackStatusTextField(QString());
        if (const std::optional<QString> source = getLocalSourceUploadFolder())
            applicationOpenFile(*source);
        return;
    }
    if (gStartedUploadProcess) {
        setWantsToHaltProcess(true);
        if (view)
            performOnMainThread([view] { view->setEnabled(false); });
        ibUpdateFTPCallbackStatusTextField(QStringLiteral("Pausing... Waiting for Current Item to Finish..."));
        return;
    }
    setWantsToHaltProcess(true);
    setDidHaltProcess(true);
    if (button)
        performOnMainThread([button] { button->setTitle(QStringLiteral("Resume")); });
    ibUpdateFTPCallbackStatusTextField(QStringLiteral("Process Paused..."));
}

void AppController::forceProcessToPause()
{
    consoleLog(QStringLiteral("\n\n\n\n\n forceProcessToPause \n\n\n\n"));
    std::lock_guard<std::recursive_mutex> guard(fThreadLock);
    if (gStartedUploadProcess && !gDidHaltProcess)
        setWantsToHaltProcess(true);
}

void AppController::forceProcessToResume()
{
    consoleLog(QStringLiteral("forceProcessToResume"));
    {
        // Under the lock the upload-done handler takes to turn a pause request into a halt, so a
        // request called off here can no longer halt the cycle after this picture.
        std::lock_guard<std::recursive_mutex> guard(fThreadLock);
        if (!gDidHaltProcess) {
            if (!gWantsToHaltProcess)
                return;
            setWantsToHaltProcess(false);
            consoleLog(QStringLiteral("forceProcessToResume: the pause waiting for the current picture is called off"));
            if (ButtonOutlet *button = ibPauseResumeButton)
                performOnMainThread([button] { button->setEnabled(true); });
            ibUpdateFTPCallbackStatusTextField(QString());
            return;
        }
    }
    // Halted: only the main thread clears the halt, so it still holds here.
    ibClickedOnHalt(nullptr);
}

void AppController::doHandlePauseResumeButtonAsResume(ViewOutlet *sender)
{
    ViewOutlet *view = sender;
    if (sender)
        consoleLog(
            QStringLiteral("doHandlePauseResumeButtonAsResume is from sender:\n%1\n\n").arg(describeSender(sender)));
    else
        view = ibPauseResumeButton;
    if (!gDidHaltProcess)
        return;
    setWantsToHaltProcess(false);
    setDidHaltProcess(false);
    if (auto *button = dynamic_cast<ButtonOutlet *>(view)) {
        performOnMainThread([button] {
            button->setTitle(QStringLiteral("Pause"));
            button->setEnabled(true);
        });
    }
    if (const std::optional<QString> source = getLocalSourceUploadFolder())
        applicationOpenFile(*source);
}

void AppController::doWaitForUploadProcessToEndInThread(ViewOutlet *button)
{
    traceInside(kClassName, __func__);
    {
        // A condition wait rather than a polling sleep: the halt, or the controller stopping,
        // wakes it at once. The line is still written once a second while it waits.
        std::unique_lock<std::mutex> guard(fFlagCvLock);
        while (!gDidHaltProcess && !fStopping) {
            consoleLog(QStringLiteral("gDidHaltProcess is STILL NO?????"));
            timedWait(fFlagCv, guard, std::chrono::milliseconds(static_cast<int>(1000 * fOptions.timeScale) + 1),
                [this] { return gDidHaltProcess || fStopping; });
        }
    }
    if (fStopping)
        return;
    Notification note;
    note.name = cNotification_UploadProcessPaused;
    note.object = this;
    note.button = dynamic_cast<ButtonOutlet *>(button);
    fCenter.post(note);
    consoleLog(QStringLiteral("Inside %1 => %2   POSTED cNotification_UploadProcessPaused...")
                   .arg(QLatin1String(kClassName), QLatin1String(__func__)));
}

void AppController::handleNotification_UploadProcessPaused(const Notification &note)
{
    traceInside(kClassName, __func__);
    ViewOutlet *button = note.button;
    performOnMainThread([this, button] { doHandleOpenPrefPanel(button); });
}

} // namespace vesk
