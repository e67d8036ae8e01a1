// AppController: the cycle flags' setters and the wiring of the cycle's observers.

#include "app/AppController.h"
#include "diag/Console.h"

namespace vesk {

void AppController::setStartedUploadProcess(bool flag)
{
    std::lock_guard<std::recursive_mutex> guard(fThreadLock);
    gStartedUploadProcess = flag;
}

void AppController::setIsScanningFolder(bool flag)
{
    std::lock_guard<std::recursive_mutex> guard(fThreadLock);
    gIsScanning = flag;
    if (flag)
        fStatus->passStarted();
}

void AppController::setNeedsToRescan(bool flag)
{
    std::lock_guard<std::recursive_mutex> guard(fThreadLock);
    if (flag)
        ++gNeedsToRescan;
    else
        gNeedsToRescan = 0;
}

void AppController::setIsInsideOpenFile(bool flag)
{
    {
        std::lock_guard<std::recursive_mutex> guard(fThreadLock);
        gInsideOpenFile = flag;
    }
    notifyFlagWaiters();
}

void AppController::setWantsToHaltProcess(bool flag)
{
    std::lock_guard<std::recursive_mutex> guard(fThreadLock);
    gWantsToHaltProcess = flag;
}

void AppController::setDidHaltProcess(bool flag)
{
    bool changed = false;
    {
        std::lock_guard<std::recursive_mutex> guard(fThreadLock);
        changed = gDidHaltProcess.exchange(flag) != flag;
    }
    notifyFlagWaiters();
    if (changed)
        fStatus->haltChanged(flag);
}

void AppController::setIsInsideWatchFolderThread(bool flag)
{
    std::lock_guard<std::recursive_mutex> guard(fThreadLock);
    gIsInWatchFolderInstaller = flag;
}

void AppController::registerCycleObservers()
{
    using Handler = void (AppController::*)(const Notification &);
    const std::pair<const QString &, Handler> observers[] = {
        { cNotification_ScanFolder, &AppController::handleNotification_ScanFolder },
        { cNotification_PrepareUploadStart, &AppController::handleNotification_PrepareUploadStart },
        { cNotification_UploadStart, &AppController::handleNotification_UploadStart },
        { cNotification_UploadDone, &AppController::handleNotification_UploadDone },
        { cNotification_UploadSuccess, &AppController::handleNotification_UploadSuccess },
        { cNotification_UploadFail, &AppController::handleNotification_UploadFail },
        { cNotification_Retrigger, &AppController::handleNotification_Retrigger },
        { cNotification_UpdateProgressWindow, &AppController::handleNotification_UpdateProgressWindow },
        { cNotification_WatcherStarted, &AppController::handleNotification_WatcherStarted },
        { cNotification_WatcherItemChanged, &AppController::handleNotification_WatcherItemChanged },
        { cNotification_DebugMoveItemsBack, &AppController::handleNotification_DebugMoveItemsBack },
        { cNotification_UploadProcessPaused, &AppController::handleNotification_UploadProcessPaused },
        { cNotification_CleanUpAfterUpload, &AppController::handleNotification_CleanUpAfterUpload },
        { cNotification_CleanUpAfterCompleteLoop, &AppController::handleNotification_CleanUpAfterCompleteLoop },
    };
    for (const auto &[name, handler] : observers)
        fCenter.addObserver(this, name, [this, member = handler](const Notification &note) { (this->*member)(note); });
}

} // namespace vesk
