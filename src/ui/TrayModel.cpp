#include "ui/TrayModel.h"

#include <QTimer>

#include <cmath>

namespace vesk {

namespace {
using Problem = CycleStatus::Problem;

QString pictures(qint64 count)
{
    return count == 1 ? QStringLiteral("1 picture") : QStringLiteral("%1 pictures").arg(count);
}

bool stateIs(const AppController::StatusReport &report, const char *state)
{
    return report.state == QLatin1String(state);
}

// "next try in 12 s": the earliest retry of the pictures that wait for one.
QString nextTryText(const AppController::StatusReport &report, const QDateTime &now)
{
    if (!report.nextRetry || *report.nextRetry <= now)
        return QStringLiteral("next try with the next pass");
    return QStringLiteral("next try in %1 s").arg((now.msecsTo(*report.nextRetry) + 999) / 1000);
}

QString duration(double seconds)
{
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(std::ceil(seconds), 0, 'f', 0);
    const auto minutes = static_cast<qint64>(std::ceil(seconds / 60));
    if (minutes < 60)
        return QStringLiteral("%1 min").arg(minutes);
    return QStringLiteral("%1 h %2 min").arg(minutes / 60).arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString capitalised(QString text)
{
    if (!text.isEmpty())
        text[0] = text.at(0).toUpper();
    return text;
}
} // namespace

TrayModel::Look TrayModel::look(const Circumstances &c)
{
    const AppController::StatusReport &report = c.report;
    const CycleStatus::Snapshot &cycle = report.cycle;
    const bool away = cycle.awaySince.isValid();
    const bool idle = stateIs(report, "idle and waiting");
    const bool going = stateIs(report, "uploading") || stateIs(report, "scanning");
    const bool halted = stateIs(report, "halted");
    const bool parkedUnseen = report.parked > c.parkedWhenShown;
    const bool notSetUp = !c.missingSettings.isEmpty();

    Look look;
    if (going)
        look.iconName = QStringLiteral("uploading");
    else if (halted || stateIs(report, "pause requested"))
        look.iconName = QStringLiteral("paused");
    else if (!idle || report.waitingForRetry > 0 || away || notSetUp || parkedUnseen)
        look.iconName = QStringLiteral("problem");
    else
        look.iconName = cycle.lastPassClean ? QStringLiteral("idle") : QStringLiteral("waiting");

    const QString uploaded = QStringLiteral("%1 uploaded").arg(report.uploaded);
    if (stateIs(report, "settings refused"))
        look.statusLine = QStringLiteral("Settings refused - see the main window");
    else if (stateIs(report, "stopped by a service error"))
        look.statusLine = QStringLiteral("Stopped by a service error - press Synchronize after fixing it");
    else if (notSetUp && !going)
        look.statusLine = QStringLiteral("Not set up yet - open Preferences in the main window");
    else if (halted)
        look.statusLine = QStringLiteral("Paused - ") + uploaded;
    else if (stateIs(report, "pause requested"))
        look.statusLine = QStringLiteral("Pausing after the current picture");
    else if (away)
        look.statusLine = capitalised(CycleStatus::awayText(cycle, c.now));
    else if (!cycle.picture.isEmpty()) {
        const qint64 percent = cycle.pictureTotal > 0 ? cycle.pictureSent * 100 / cycle.pictureTotal : 0;
        look.statusLine
            = QStringLiteral("Uploading %1 - %2 %").arg(cycle.picture.section(QLatin1Char('/'), -1)).arg(percent);
        if (cycle.lastCount.readable)
            look.statusLine += QStringLiteral(", %1 waiting").arg(cycle.lastCount.pictures);
    } else if (report.waitingForRetry > 0)
        look.statusLine = QStringLiteral("Waiting to retry %1 (%2)")
                              .arg(pictures(report.waitingForRetry), nextTryText(report, c.now));
    else if (going)
        look.statusLine = QStringLiteral("Looking for pictures - ") + uploaded;
    else
        look.statusLine = QStringLiteral("Idle - ") + uploaded;

    QString &tip = look.toolTip;
    tip = QStringLiteral(VESK_DISPLAY_NAME ": ") + report.state;
    if (stateIs(report, "uploading") && !cycle.picture.isEmpty())
        tip += QStringLiteral(" ") + cycle.picture;
    tip += QStringLiteral("\n%1 uploaded, %2 in the problem folder, %3 transfer failures")
               .arg(report.uploaded)
               .arg(report.parked)
               .arg(report.transferFailures);
    if (report.waitingForRetry > 0)
        tip += QStringLiteral(", %1 waiting for a retry").arg(report.waitingForRetry);
    if (away)
        tip += QStringLiteral("\n") + CycleStatus::awayText(cycle, c.now);
    if (parkedUnseen)
        tip += QStringLiteral("\n%1 parked since the window was last shown")
                   .arg(pictures(report.parked - c.parkedWhenShown));
    if (notSetUp)
        tip += QStringLiteral("\n") + c.missingSettings.first();
    if (look.iconName == QLatin1String("problem") && !cycle.lastError.isEmpty())
        tip += QStringLiteral("\n") + cycle.lastError;
    return look;
}

QString TrayModel::problemLine(const AppController::StatusReport &report, const QDateTime &now, bool *current)
{
    const CycleStatus::Snapshot &cycle = report.cycle;
    bool live = false;
    QString line;
    const QString &error = cycle.lastError;
    switch (cycle.lastProblem) {
    case Problem::None:
        break;
    case Problem::TransferFailed:
        live = report.waitingForRetry > 0;
        line = error + QStringLiteral(" - kept in the source folder; ")
            + (live ? nextTryText(report, now) : QStringLiteral("no picture waits for a retry now"));
        break;
    case Problem::Away:
        live = cycle.awaySince.isValid();
        line = error + QStringLiteral(" - kept in the source folder; ")
            + (live ? CycleStatus::awayText(cycle, now) : QStringLiteral("the service answers again"));
        break;
    case Problem::Parked:
        live = true; // it stays there until somebody looks
        line = error + QStringLiteral(" - put in the problem folder");
        break;
    case Problem::ServiceError:
        live = cycle.serviceError;
        line = QStringLiteral("stopped: ") + error
            + (live ? QStringLiteral("; press Synchronize after fixing it")
                    : QStringLiteral("; a pass was started again since"));
        break;
    case Problem::SettingsRefused:
        live = cycle.settingsRefused;
        line = QStringLiteral("stopped: the settings were refused: ") + error
            + (live ? QStringLiteral("; nothing is sent until they are accepted")
                    : QStringLiteral("; they were accepted since"));
        break;
    }
    if (current)
        *current = live;
    if (line.isEmpty())
        return QStringLiteral("none since start");
    return cycle.lastErrorTime.toLocalTime().toString(QStringLiteral("HH:mm:ss  ")) + line;
}

QString TrayModel::timeLeftLine(const AppController::StatusReport &report)
{
    const CycleStatus::Snapshot &cycle = report.cycle;
    if (!cycle.lastCount.readable)
        return QStringLiteral("no estimate: the waiting pictures were not counted yet");
    const qint64 waiting = cycle.lastCount.pictures;
    if (waiting == 0)
        return QStringLiteral("nothing waiting");
    if (cycle.awaySince.isValid())
        return QStringLiteral("no estimate while the service is away");
    if (!stateIs(report, "uploading") && !stateIs(report, "scanning") && !stateIs(report, "idle and waiting"))
        return QStringLiteral("no estimate while the uploads stand still");
    if (cycle.lastMinuteUploads == 0 || cycle.lastMinuteSeconds <= 0)
        return QStringLiteral("no estimate: no picture went through in the last minute");
    const double perSecond = cycle.lastMinuteUploads / cycle.lastMinuteSeconds;
    return QStringLiteral("about %1 for %2%3, at the rate of the last minute (%4 a minute)")
        .arg(duration(double(waiting) / perSecond), pictures(waiting),
            QLatin1String(cycle.lastCount.complete ? "" : " or more"))
        .arg(perSecond * 60, 0, 'f', 1);
}

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

void TrayModel::windowShown()
{
    fParkedWhenShown = fController.statusReport().parked;
    refresh();
}

void TrayModel::refresh()
{
    Circumstances now { fController.statusReport(), QDateTime::currentDateTime(), fController.missingSettings(),
        fParkedWhenShown };
    Look look = TrayModel::look(now);
    const AppController::StatusReport &report = now.report;

    // The window's Pause/Resume button, as it stands: disabled while a pause waits for the picture.
    const bool halted = report.state == QLatin1String("halted") || fController.gDidHaltProcess;
    const QList<MenuItem> menu {
        { Action::Status, look.statusLine, false },
        { Action::ShowWindow, QStringLiteral("Show Window"), true },
        { Action::Synchronize, QStringLiteral("Synchronize"), true },
        { Action::RetryNow, QStringLiteral("Retry Now"), true },
        { Action::PauseResume, halted ? QStringLiteral("Resume") : QStringLiteral("Pause"),
            halted || report.state != QLatin1String("pause requested") },
        { Action::OpenMirrorFolder, QStringLiteral("Open Mirror Folder"), report.mirrorFolder.has_value() },
        { Action::OpenProblemFolder, QStringLiteral("Open Problem Folder"), report.problemFolder.has_value() },
        { Action::Quit, QStringLiteral("Quit"), true },
    };
    const bool menuChanged = menu.size() != fMenu.size()
        || !std::equal(menu.begin(), menu.end(), fMenu.begin(), [](const MenuItem &a, const MenuItem &b) {
               return a.action == b.action && a.text == b.text && a.enabled == b.enabled;
           });
    if (look.iconName == fLook.iconName && look.toolTip == fLook.toolTip && !menuChanged)
        return;
    fLook = std::move(look);
    fMenu = menu;
    emit changed();
}

void TrayModel::trigger(Action action)
{
    switch (action) {
    case Action::Status:
        return;
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
    case Action::OpenMirrorFolder:
        fController.ibClickedOnRevealFinder2();
        break;
    case Action::OpenProblemFolder:
        fController.ibClickedOnRevealProblemFolder();
        break;
    case Action::Quit:
        fController.ibClickedOnQuit(nullptr);
        return;
    }
    refresh();
}

} // namespace vesk
