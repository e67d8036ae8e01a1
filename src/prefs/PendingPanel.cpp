// Interim: the preference panel's actions before the windows are built.
#include "app/AppController.h"
#include "diag/Console.h"

namespace vesk {

void AppController::ibClickedOnOpenPref(ViewOutlet *)
{
    traceInside(kClassName, __func__);
}
void AppController::doHandleOpenPrefPanel(ViewOutlet *)
{
    traceInside(kClassName, __func__);
}
void AppController::sheetDidEnd(int)
{
    traceInside(kClassName, __func__);
}
void AppController::ibClickedOnSaveAndClose()
{
    saveLoginInfo();
}
void AppController::ibClickedOnLockIcon(ViewOutlet *)
{
    traceInside(kClassName, __func__);
}
void AppController::forceLockedIcon(int)
{
    traceInside(kClassName, __func__);
}
bool AppController::savePrefToFile(const QString &)
{
    return false;
}
bool AppController::loadPrefFromFile(const QString &)
{
    return false;
}
bool AppController::mayChangeFolders()
{
    return !gStartedUploadProcess;
}
void AppController::openPanelDidEnd(int, const QString &, const QString &)
{
    traceInside(kClassName, __func__);
}
void AppController::ibMenuCmd_Open()
{
    ibUserClickedOnSynchronize();
}

} // namespace vesk
