// AppController: the two requests of the command channel that watch the cycle.
//   {"class":"vesk","id":"stat"}  one reply line {"status":{...}} (see the README)
//   {"class":"vesk","id":"evts"}  the connection becomes a stream of event lines {"event":...}
// Both are answered on the main thread from copies; neither waits for the cycle.

#include "app/AppController.h"
#include "scripting/AppleEvent.h"
#include "scripting/CommandServer.h"

#include <QJsonDocument>

namespace vesk {

namespace {
QJsonValue isoOrNull(const std::optional<QDateTime> &when)
{
    if (!when || !when->isValid())
        return QJsonValue::Null;
    return when->toOffsetFromUtc(when->offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QJsonObject statusObject(
    const AppController::StatusReport &report, const CycleStatus::WaitingCount &waiting, int listeners)
{
    const CycleStatus::Snapshot &cycle = report.cycle;
    QJsonObject status {
        { QStringLiteral("state"), report.state },
        { QStringLiteral("uploaded"), report.uploaded },
        { QStringLiteral("parked"), report.parked },
        { QStringLiteral("transferFailures"), report.transferFailures },
        { QStringLiteral("waitingForRetry"), cycle.waitingForRetry },
        { QStringLiteral("waitingInSource"), waiting.readable ? QJsonValue(waiting.pictures) : QJsonValue() },
        { QStringLiteral("waitingCountComplete"), waiting.complete },
        { QStringLiteral("rateUploads"), cycle.rateSamples },
        { QStringLiteral("picturesPerMinute"), cycle.picturesPerMinute },
        { QStringLiteral("megabytesPerSecond"), cycle.megabytesPerSecond },
        { QStringLiteral("nextPass"), isoOrNull(report.nextPass) },
        { QStringLiteral("watcher"), CycleStatus::watcherText(cycle.watcher) },
        { QStringLiteral("host"), report.host },
        { QStringLiteral("version"), QStringLiteral(VESK_VERSION) },
        { QStringLiteral("listeners"), listeners },
    };
    for (const auto &[key, folder] : { std::pair { "sourceFolder", report.sourceFolder },
             std::pair { "mirrorFolder", report.mirrorFolder }, std::pair { "problemFolder", report.problemFolder } })
        status.insert(QLatin1String(key), folder && !folder->isEmpty() ? QJsonValue(*folder) : QJsonValue());
    status.insert(QStringLiteral("endpoint"), report.endpoint);
    QJsonValue picture;
    if (!cycle.picture.isEmpty()
        && (report.state == QLatin1String("uploading") || report.state == QLatin1String("pause requested")))
        picture = QJsonObject { { QStringLiteral("path"), cycle.picture },
            { QStringLiteral("since"), isoOrNull(cycle.pictureSince) },
            { QStringLiteral("seconds"), double(cycle.pictureSince.msecsTo(QDateTime::currentDateTime())) / 1000.0 } };
    status.insert(QStringLiteral("picture"), picture);
    QJsonValue error;
    if (!cycle.lastError.isEmpty())
        error = QJsonObject { { QStringLiteral("text"), cycle.lastError },
            { QStringLiteral("time"), isoOrNull(cycle.lastErrorTime) } };
    status.insert(QStringLiteral("lastError"), error);
    return status;
}
} // namespace

int AppController::eventListenerCount()
{
    std::erase_if(fEventListeners, [](const std::shared_ptr<CommandReplyStream> &listener) {
        if (listener->isOpen())
            return false;
        listener->finish();
        return true;
    });
    return static_cast<int>(fEventListeners.size());
}

void AppController::installWatchingRequests(CommandServer &server)
{
    server.setStreamHandler(kVeskEventClass, kVeskStatus, [this](const AppleEvent &, auto reply) {
        // The pictures waiting are counted off the main thread; the reply goes when they are.
        fStatus->countWaiting(
            getLocalSourceUploadFolder().value_or(QString()), [this, reply](const CycleStatus::WaitingCount &waiting) {
                const QJsonObject line { { QStringLiteral("status"),
                    statusObject(statusReport(), waiting, eventListenerCount()) } };
                reply->send(QJsonDocument(line).toJson(QJsonDocument::Compact));
                reply->finish();
            });
    });
    server.setStreamHandler(kVeskEventClass, kVeskEvents,
        [this](const AppleEvent &, auto stream) { fEventListeners.push_back(std::move(stream)); });
    connect(fStatus, &CycleStatus::event, this, [this](const QJsonObject &event) {
        if (fEventListeners.empty())
            return;
        const QByteArray line = QJsonDocument(event).toJson(QJsonDocument::Compact);
        for (const std::shared_ptr<CommandReplyStream> &listener : fEventListeners)
            listener->send(line);
        eventListenerCount(); // forgets those that went away or fell behind
    });
}

} // namespace vesk
