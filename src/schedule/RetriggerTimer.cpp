// AppController: the one-shot rescan timer behind auto-synchronize. Main thread only; workers reach
// it through the two hand-overs.

#include "app/AppController.h"
#include "diag/Console.h"

namespace vesk {

void AppController::doSetupRetriggerTimerOnMainThread()
{
    traceInside(kClassName, __func__);
    performOnMainThread([this] { doSetupRetriggerTimer(); });
}

void AppController::cancelRetriggerTimerOnMainThread()
{
    traceInside(kClassName, __func__);
    performOnMainThread([this] { cancelRetriggerTimer(); });
}

void AppController::cancelRetriggerTimer()
{
    traceInside(kClassName, __func__);
    if (fRepeatTimer) {
        fRepeatTimer->stop();
        fRepeatTimer->deleteLater();
    }
    fRepeatTimer = nullptr;
}

void AppController::doSetupRetriggerTimer()
{
    traceInside(kClassName, __func__);
    if (!getDoAutoSynchronize()) {
        consoleLog(QStringLiteral("Done %1 => %2... [self getDoAutoSynchronize] = NO...")
                       .arg(QLatin1String(kClassName), QLatin1String(__func__)));
        return;
    }
    cancelRetriggerTimer();
    const std::optional<QVariant> stored = getPrefSecondsBetweenScans();
    double seconds = 120.0;
    if (stored)
        seconds = PreferenceStore::toDouble(stored);
    else
        consoleLog(QStringLiteral("Failed to get NSNumber for intervalInSecs"));

    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, [this] { doAutoResynchronize(); });
    const double ms = std::max(0.0, seconds * 1000.0 * fOptions.timeScale);
    timer->start(static_cast<int>(std::min(ms, 2147483647.0)));
    fRepeatTimer = timer;

    QString announcement
        = QStringLiteral("Next Auto-Synchronize Trigger Date = %1...")
              .arg(formatDate(QDateTime::currentDateTime().addMSecs(static_cast<qint64>(seconds * 1000.0))));
    if (!_isRunningLeopard)
        announcement += QStringLiteral("\n(This would Not be needed if running on Mac OS 10.5 or higer)");
    consoleLog(QStringLiteral("Setting up Timer => %1").arg(announcement));
    ibUpdateFTPCallbackStatusTextField(announcement);
    consoleLog(QStringLiteral("Done with %1 => %2...").arg(QLatin1String(kClassName), QLatin1String(__func__)));
}

void AppController::doAutoResynchronize()
{
    traceInside(kClassName, __func__);
    if (gStartedUploadProcess) {
        consoleLog(QStringLiteral("Inside doAutoResynchronize - a process already in session????"));
        return;
    }
    if (getDoAutoSynchronize()) {
        consoleLog(QStringLiteral("Inside %1 => %2...  Okay to start upload process again...")
                       .arg(QLatin1String(kClassName), QLatin1String(__func__)));
        ibClickedOnSynchronizeAgain();
    } else {
        consoleLog(QStringLiteral("Inside %1 => %2...  NO Need to autoResynchronize")
                       .arg(QLatin1String(kClassName), QLatin1String(__func__)));
    }
}

} // namespace vesk
