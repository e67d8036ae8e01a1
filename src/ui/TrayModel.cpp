#include "ui/TrayModel.h"

#include "app/AppController.h"

#include <QTimer>

namespace vesk {

TrayModel::TrayModel(AppController &controller, QObject *parent)
    : QObject(parent)
    , fController(controller)
    , fTimer(new QTimer(this))
{
    connect(&controller.cycleStatus(), &CycleStatus::event, this, &TrayModel::refresh);
    connect(fTimer, &QTimer::timeout, this, &TrayModel::refresh);
    fTimer->start(1000);
    refresh();
}

void TrayModel::refresh()
{
    const AppController::StatusReport report = fController.statusReport();
    const QString &state = report.state;
    QString icon = QStringLiteral("idle");
    if (state == QLatin1String("uploading") || state == QLatin1String("scanning"))
        icon = QStringLiteral("uploading");
    else if (state == QLatin1String("halted") || state == QLatin1String("pause requested"))
        icon = QStringLiteral("paused");
    else if (state != QLatin1String("idle and waiting") || report.waitingForRetry > 0
        || report.cycle.awaySince.isValid())
        icon = QStringLiteral("problem");

    QString tip = QStringLiteral(VESK_DISPLAY_NAME ": ") + state;
    if (state == QLatin1String("uploading") && !report.cycle.picture.isEmpty())
        tip += QStringLiteral(" ") + report.cycle.picture;
    tip += QStringLiteral("\n%1 uploaded, %2 in the problem folder, %3 transfer failures")
               .arg(report.uploaded)
               .arg(report.parked)
               .arg(report.transferFailures);
    if (report.waitingForRetry > 0)
        tip += QStringLiteral(", %1 waiting for a retry").arg(report.waitingForRetry);
    if (report.cycle.awaySince.isValid())
        tip += QStringLiteral("\n") + CycleStatus::awayText(report.cycle, QDateTime::currentDateTime());
    if ((icon == QLatin1String("problem")) && !report.cycle.lastError.isEmpty())
        tip += QStringLiteral("\n") + report.cycle.lastError;

    // The window's Pause/Resume button, as it stands: disabled while a pause waits for the picture.
    const bool halted = state == QLatin1String("halted") || fController.gDidHaltProcess;
    const QList<MenuItem> menu {
        { Action::ShowWindow, QStringLiteral("Show Window"), true },
        { Action::Synchronize, QStringLiteral("Synchronize"), true },
        { Action::RetryNow, QStringLiteral("Retry Now"), true },
        { Action::PauseResume, halted ? QStringLiteral("Resume") : QStringLiteral("Pause"),
            halted || state != QLatin1String("pause requested") },
        { Action::Quit, QStringLiteral("Quit"), true },
    };
    const bool menuChanged = menu.size() != fMenu.size()
        || !std::equal(menu.begin(), menu.end(), fMenu.begin(), [](const MenuItem &a, const MenuItem &b) {
               return a.action == b.action && a.text == b.text && a.enabled == b.enabled;
           });
    if (icon == fIconName && tip == fToolTip && !menuChanged)
        return;
    fIconName = icon;
    fToolTip = tip;
    fMenu = menu;
    emit changed();
}

void TrayModel::trigger(Action action)
{
    switch (action) {
    case Action::ShowWindow:
        emit showWindowRequested();
        break;
    case Action::Synchronize:
        fController.ibClickedOnSynchronizeAgain();
        break;
    case Action::RetryNow:
        fController.ibClickedOnRetryNow();
        break;
    case Action::PauseResume:
        fController.ibClickedOnHalt(fController.ibPauseResumeButton);
        break;
    case Action::Quit:
        fController.ibClickedOnQuit(nullptr);
        return;
    }
    refresh();
}

} // namespace vesk
