// Interim: the cycle's entry points and stages before they are built.
#include "app/AppController.h"
#include "diag/Console.h"

namespace vesk {

bool AppController::applicationOpenFile(const QString &)
{
    return false;
}
void AppController::ibUserClickedOnSynchronize()
{
    traceInside(kClassName, __func__);
}
void AppController::ibClickedOnSynchronizeAgain()
{
    traceInside(kClassName, __func__);
}
void AppController::openFileOnMainThread()
{
    traceInside(kClassName, __func__);
}
void AppController::requestReopen()
{
    traceInside(kClassName, __func__);
}
void AppController::handleNotification_ScanFolder(const Notification &)
{
    traceInside(kClassName, __func__);
}
void AppController::handleNotification_PrepareUploadStart(const Notification &)
{
    traceInside(kClassName, __func__);
}
void AppController::handleNotification_UploadStart(const Notification &)
{
    traceInside(kClassName, __func__);
}
void AppController::handleNotification_UploadDone(const Notification &)
{
    traceInside(kClassName, __func__);
}
void AppController::handleNotification_UploadSuccess(const Notification &)
{
    traceInside(kClassName, __func__);
}
void AppController::handleNotification_UploadFail(const Notification &)
{
    traceInside(kClassName, __func__);
}
void AppController::handleNotification_Retrigger(const Notification &)
{
    traceInside(kClassName, __func__);
}
void AppController::handleNotification_UpdateProgressWindow(const Notification &)
{
    traceInside(kClassName, __func__);
}
void AppController::handleNotification_DebugMoveItemsBack(const Notification &)
{
    traceInside(kClassName, __func__);
}
void AppController::handleNotification_UploadProcessPaused(const Notification &)
{
    traceInside(kClassName, __func__);
}
void AppController::handleNotification_CleanUpAfterUpload(const Notification &)
{
    traceInside(kClassName, __func__);
}
void AppController::handleNotification_CleanUpAfterCompleteLoop(const Notification &)
{
    traceInside(kClassName, __func__);
}
void AppController::scanFolderOnMainThread(const Notification &)
{
    traceInside(kClassName, __func__);
}
void AppController::ibClickedOnHalt(ViewOutlet *)
{
    traceInside(kClassName, __func__);
}
void AppController::forceProcessToPause()
{
    traceInside(kClassName, __func__);
}
void AppController::doHandlePauseResumeButtonAsResume(ViewOutlet *)
{
    traceInside(kClassName, __func__);
}
void AppController::doWaitForUploadProcessToEndInThread(ViewOutlet *)
{
    traceInside(kClassName, __func__);
}

} // namespace vesk
