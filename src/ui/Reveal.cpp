// AppController: revealing the source, mirror and problem folders in the file manager.

#include "app/AppController.h"
#include "app/Paths.h"
#include "diag/Console.h"
#include "diag/ShellRunner.h"

#include <QFileInfo>

namespace vesk {

void AppController::ibClickedOnRevealFinder1()
{
    revealItemInFinder(getLocalSourceUploadFolder().value_or(QString()));
}

void AppController::ibClickedOnRevealFinder2()
{
    revealItemInFinder(getLocalMasterMirrorSiteFolder().value_or(QString()));
}

void AppController::ibClickedOnRevealProblemFolder()
{
    revealItemInFinder(getLocalProblemUploadFolder().value_or(QString()));
}

void AppController::revealItemInFinder(const QString &path)
{
    traceInside(kClassName, __func__);
    const QString expanded = paths::expandTilde(path);
    if (path.isEmpty() || !QFileInfo(expanded).isDir()) {
        beep();
        consoleLog(QStringLiteral("User Needs to Select a Valid Existing Folder..."));
        return;
    }
    runShellScript(QStringLiteral("revealInFinder.sh"), QStringList { expanded });
}

} // namespace vesk
