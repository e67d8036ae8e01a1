// AppController: the one-shot rescan timer behind auto-synchronize. Main thread only; workers reach
// it through the two hand-overs.

#include "app/AppController.h"
#include "diag/Console.h"
#include "prefs/PrefValues.h"

#include <algorithm>
#include <cmath>

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
    if (stored) {
        // Held to the range the timer can keep: below a second (or no number at all) a pass would
        // follow a pass at full speed; beyond the limit the interval would wrap.
        const double read = PreferenceStore::toDouble(stored);
        seconds = std::clamp(
            std::isnan(read) ? 0.0 : read, prefvalues::kMinSecondsBetweenScans, prefvalues::kMaxSecondsBetweenScans);
        const QString text = stored->toString();
        if (seconds != read && text != fReportedSecondsBetweenScans) {
            fReportedSecondsBetweenScans = text; // once per stored value
            myNSLog(QStringLiteral("The stored interval [%1] of %2 is outside 1 to %3 seconds: %4 s are used")
                        .arg(text, sPrefSecondsBetweenScans)
                        .arg(prefvalues::kMaxSecondsBetweenScans, 0, 'f', 0)
                        .arg(seconds, 0, 'f', 0));
        }
    } else {
        consoleLog(QStringLiteral("Failed to get NSNumber for intervalInSecs"));
    }

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
