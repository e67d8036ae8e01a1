// Interim: timers, watcher and relaunch before they are built.
#include "app/AppController.h"
#include "diag/Console.h"

namespace vesk {

void AppController::doSetupRetriggerTimerOnMainThread()
{
    traceInside(kClassName, __func__);
}
void AppController::doSetupRetriggerTimer()
{
    traceInside(kClassName, __func__);
}
void AppController::cancelRetriggerTimerOnMainThread()
{
    traceInside(kClassName, __func__);
}
void AppController::cancelRetriggerTimer()
{
    traceInside(kClassName, __func__);
}
void AppController::doAutoResynchronize()
{
    traceInside(kClassName, __func__);
}
void AppController::doWatchFolderInThread(const QString &)
{
    traceInside(kClassName, __func__);
}
void AppController::stopFolderWatcher() { }
void AppController::doRelaunchThisApp()
{
    traceInside(kClassName, __func__);
}
void AppController::handleNotification_WatcherStarted(const Notification &)
{
    traceInside(kClassName, __func__);
}
void AppController::handleNotification_WatcherItemChanged(const Notification &)
{
    traceInside(kClassName, __func__);
}

} // namespace vesk
