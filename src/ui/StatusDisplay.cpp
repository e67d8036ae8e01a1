// AppController: the status-display operations. Safe from any thread: elements are only touched on
// the main thread; headless, the two status lines are echoed to standard output.

#include "app/AppController.h"
#include "diag/Console.h"

#include <mutex>

namespace vesk {

void AppController::ibUpdateNSTextField(TextFieldOutlet *field, const QString &text, bool doWait, bool isError)
{
    // A missing field, or one whose window is not on screen, drops the text: nothing is queued.
    if (!field)
        return;
    WindowOutlet *window = field->window();
    if (window && !window->isVisible())
        return;
    performOnMainThread(
        [field, text, isError] {
            field->setTextColor(isError);
            field->setText(text);
            field->display();
        },
        doWait);
}

void AppController::ibUpdateNSTextField(TextFieldOutlet *field, const QString &text, bool doWait)
{
    ibUpdateNSTextField(field, text, doWait, false);
}

void AppController::printStatusLine(const QString &tag, const QString &text, LogPriority priority)
{
    QString line = QLatin1Char('[') + tag + QStringLiteral("] ") + text;
    line.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    myPrintf(line + QLatin1Char('\n'), priority);
}

void AppController::reportStatusLine(const char *line, const QString &text)
{
    if (!fHeadless || text.isEmpty())
        return;
    static std::mutex outputLock;
    std::lock_guard<std::mutex> guard(outputLock);
    printStatusLine(
        QLatin1String(line), text, qstrcmp(line, "error") == 0 ? LogPriority::Warning : LogPriority::Informational);
}

void AppController::ibUpdateUploadMainPath(const QString &text)
{
    ibUpdateNSTextField(ibUploadMainPath, text, false, false);
}

void AppController::ibUpdateLoginName(const QString &text)
{
    ibUpdateNSTextField(ibLoginName, text, false, false);
}

void AppController::ibUpdateSourceFolderPath(const QString &text)
{
    ibUpdateNSTextField(ibSourceFolderPath, text, false, false);
    if (TextFieldOutlet *field = ibSourceFolderPath)
        performOnMainThread([field, text] { field->setToolTip(text); }, false);
}

void AppController::ibUpdateFileNameField(const QString &text)
{
    ibUpdateNSTextField(ibFileNameField, text, false, false);
}

void AppController::ibUpdateUploadStatusTextField(const QString &text)
{
    reportStatusLine("upload", text);
    ibUpdateNSTextField(ibUploadFileStatusField, text, false, false);
}

void AppController::ibUpdateFTPCallbackStatusTextField(const QString &text)
{
    ibUpdateFTPCallbackStatusTextField(text, false);
}

void AppController::ibUpdateFTPCallbackStatusTextField(const QString &text, bool isError)
{
    reportStatusLine(isError ? "error" : "status", text);
    ibUpdateNSTextField(ibFTPCallbackStatusField, text, false, isError);
}

void AppController::ibUpdateProgressBar(const QString &yesOrNo)
{
    ProgressOutlet *bar = ibProgressBar;
    if (!bar)
        return;
    bar->setIndeterminate(true);
    if (yesOrNo.compare(QLatin1String("YES"), Qt::CaseInsensitive) == 0) {
        bar->startAnimation();
        bar->setHidden(false);
    } else {
        bar->stopAnimation();
        bar->setHidden(true);
    }
    bar->display();
}

void AppController::postWindowBecameKey()
{
    traceInside(kClassName, __func__);
}

void AppController::postWindowBecameMain()
{
    traceInside(kClassName, __func__);
}

void AppController::windowWillBeginSheet()
{
    traceInside(kClassName, __func__);
}

void AppController::windowDidMove()
{
    traceInside(kClassName, __func__);
}

void AppController::windowWillClose()
{
    traceInside(kClassName, __func__);
}

void AppController::textDidChange()
{
    consoleLog(QStringLiteral("%1 => %2...").arg(QLatin1String(kClassName), QLatin1String(__func__)));
}

} // namespace vesk
