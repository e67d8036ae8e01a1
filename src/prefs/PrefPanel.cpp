// AppController: the login and preference panel: opening it (as a sheet, after pausing the cycle
// when a picture is on its way), the end of its sheet, the lock and its sounds, and the two
// window-level requests that start a pass (the Open command and a dropped folder). Main thread.

#include "app/AppController.h"
#include "diag/Console.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace vesk {

namespace {
QString describeSender(const ViewOutlet *sender)
{
    if (!sender)
        return QStringLiteral("(null)");
    if (const auto *button = dynamic_cast<const ButtonOutlet *>(sender))
        return QStringLiteral("<button \"%1\" tag %2>").arg(button->title()).arg(button->tag());
    return QStringLiteral("<view tag %1>").arg(sender->tag());
}

QString senderLine(const char *operation, const ViewOutlet *sender)
{
    return QStringLiteral("%1's sender is:\n%2\n\n").arg(QLatin1String(operation), describeSender(sender));
}
} // namespace

void AppController::ibClickedOnOpenPref(ViewOutlet *sender)
{
    consoleLog(senderLine(__func__, sender));
    if (ibProgressPanel && ibProgressPanel->isVisible() && gStartedUploadProcess) {
        // A sheet must not come up while a picture is on its way: pause first, open when it is done.
        ibUpdateFTPCallbackStatusTextField(QStringLiteral("Will Open Pref Panel After Current Item is Finished..."));
        ViewOutlet *asker = sender ? sender : ibOpenPrefButton;
        auto *button = dynamic_cast<ButtonOutlet *>(asker);
        if (!button)
            button = ibOpenPrefButton;
        if (button)
            button->setEnabled(false);
        forceProcessToPause();
        detachThread("pausewait", [this, button] { doWaitForUploadProcessToEndInThread(button); });
        return;
    }
    doHandleOpenPrefPanel(sender);
}

void AppController::doHandleOpenPrefPanel(ViewOutlet *sender)
{
    if (QThread::currentThread() != thread()) {
        performOnMainThread([this, sender] { doHandleOpenPrefPanel(sender); });
        return;
    }
    consoleLog(senderLine(__func__, sender));
    ButtonOutlet *toEnable = ibOpenPrefButton;
    WindowOutlet *parent = nullptr;
    if (sender) {
        if (auto *button = dynamic_cast<ButtonOutlet *>(sender)) {
            toEnable = button;
            parent = button->window();
        } else {
            if (ibProgressPanel && ibProgressPanel->isVisible())
                parent = ibProgressPanel;
            consoleLog(QStringLiteral("ibClickedOnOpenPref CANNOT determine parentWindow???"));
        }
        if (parent && toEnable)
            toEnable->setEnabled(true);
    }
    consoleLog(QStringLiteral("ibClickedOnOpenPref using NewMethod"));
    if (!ibLoginPanel)
        return;
    if (parent) {
        ibLoginPanel->setDisplayAsSheet(true);
        cancelRetriggerTimerOnMainThread();
        consoleLog(
            QStringLiteral("doHandleOpenPrefPanel -> gWantsToHaltProcess is [%1]").arg(gWantsToHaltProcess ? 1 : 0));
        consoleLog(QStringLiteral("ibClickedOnOpenPref using NSAPP beginSheet"));
        ibLoginPanel->beginSheet(parent, [this](int returnCode) { sheetDidEnd(returnCode); });
    } else {
        // A window of its own: the cycle goes on undisturbed.
        ibLoginPanel->setDisplayAsSheet(false);
        ibLoginPanel->orderFront();
    }
}

void AppController::sheetDidEnd(int returnCode)
{
    consoleLog(QStringLiteral("sheetDidEnd: Return Code = %1").arg(returnCode));
    if (ibLoginPanel)
        ibLoginPanel->close();
    doHandlePauseResumeButtonAsResume(nullptr);
}

void AppController::ibClickedOnSaveAndClose()
{
    traceInside(kClassName, __func__);
    saveLoginInfo();
}

void AppController::ibClickedOnLockIcon(ViewOutlet *sender)
{
    traceInside(kClassName, __func__);
    auto *lock = dynamic_cast<ButtonOutlet *>(sender);
    if (!lock || lock->tag() != 98 || !ibLoginPanel)
        return;
    switch (const int state = lock->state()) {
    case 0:
        doPlaySound(QStringLiteral("lockClosing"), QStringLiteral("wav"));
        viewSetEnabled(ibChangeablePrefView, false);
        break;
    case 1:
        doPlaySound(QStringLiteral("lockOpening"), QStringLiteral("wav"));
        viewSetEnabled(ibChangeablePrefView, true);
        break;
    case -1:
        consoleLog(QStringLiteral("ibClickedOnLockIcon => NSMixedState"));
        break;
    default:
        consoleLog(QStringLiteral("ibClickedOnLockIcon => Unknown = [%1]").arg(state));
        break;
    }
}

void AppController::forceLockedIcon(int wantedState)
{
    traceInside(kClassName, __func__);
    if (!ibLoginPanel)
        return;
    auto *lock = dynamic_cast<ButtonOutlet *>(ibLoginPanel->viewWithTag(98));
    if (!lock)
        return;
    const int current = lock->state();
    consoleLog(QStringLiteral("CurState = [%1]  and newState = [%2]").arg(current).arg(wantedState));
    if (current == wantedState)
        return;
    lock->setState(current == 1 ? 0 : 1);
    ibClickedOnLockIcon(lock);
}

void AppController::viewSetEnabled(ViewOutlet *view, bool flag)
{
    if (!view)
        return;
    for (ViewOutlet *subview : view->subviews()) {
        if (!subview)
            continue;
        if (subview->isControl())
            subview->setEnabled(flag);
        else
            viewSetEnabled(subview, flag);
    }
}

bool AppController::doPlaySound(const QString &name, const QString &type)
{
    const QString resource = QStringLiteral(":/sounds/%1.%2").arg(name, type);
    if (!QFile::exists(resource))
        return false;
    if (!fUi) {
        consoleLog(QStringLiteral("Unable to create NSSound for testSound???"));
        return false;
    }
    if (fUi->playSound(resource)) {
        consoleLog(QStringLiteral("testSound is playing"));
        return true;
    }
    consoleLog(QStringLiteral("testSound FAILED to start playing?????"));
    return false;
}

void AppController::ibMenuCmd_Open()
{
    consoleLog(QStringLiteral("ibMenuCmd_Open"));
    ibUserClickedOnSynchronize();
}

bool AppController::openDroppedItems(const QStringList &paths)
{
    traceInside(kClassName, __func__);
    if (paths.size() != 1 || !QFileInfo(paths.first()).isDir()) {
        consoleLog(QStringLiteral("Only a single folder can be dropped here: %1 item(s) ignored").arg(paths.size()));
        beep();
        return false;
    }
    applicationOpenFile(QDir::cleanPath(QFileInfo(paths.first()).absoluteFilePath()));
    return true;
}

} // namespace vesk
