// AppController: the requests of the command channel that watch the cycle.
//   {"class":"vesk","id":"stat"}  one reply line {"status":{...}} (see the README)
//   {"class":"vesk","id":"evts"}  the connection becomes a stream of event lines {"event":...}
//   {"class":"vesk","id":"metr"}  {"reply":"<the figures in the Prometheus text format>"}
// All are answered on the main thread from copies; none waits for the cycle.

#include "app/AppController.h"
#include "scripting/AppleEvent.h"
#include "scripting/CommandServer.h"

#include <QJsonDocument>
#include <QPointer>

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
        { QStringLiteral("failedAttempts"), report.failedAttempts },
        { QStringLiteral("waitingForRetry"), report.waitingForRetry },
        { QStringLiteral("nextRetry"), isoOrNull(report.nextRetry) },
        { QStringLiteral("waitingInSource"), waiting.readable ? QJsonValue(waiting.pictures) : QJsonValue() },
        { QStringLiteral("waitingCountComplete"), waiting.complete },
        { QStringLiteral("rateUploads"), cycle.rateSamples },
        { QStringLiteral("picturesPerMinute"), cycle.picturesPerMinute },
        { QStringLiteral("megabytesPerSecond"), cycle.megabytesPerSecond },
        { QStringLiteral("nextPass"), isoOrNull(report.nextPass) },
        { QStringLiteral("watcher"), CycleStatus::watcherText(cycle.watcher) },
        { QStringLiteral("host"), report.host },
        { QStringLiteral("address"), report.addressSource },
        { QStringLiteral("password"), report.passwordSource },
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
    QJsonValue away;
    if (cycle.awaySince.isValid())
        away = QJsonObject { { QStringLiteral("since"), isoOrNull(cycle.awaySince) },
            { QStringLiteral("nextCheck"), isoOrNull(cycle.nextCheck) }, { QStringLiteral("reason"), cycle.awayReason },
            { QStringLiteral("text"), CycleStatus::awayText(cycle, QDateTime::currentDateTime()) } };
    status.insert(QStringLiteral("serviceAway"), away);
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
    server.setStreamHandler(kVeskEventClass, kVeskStatus, [this, &server](const AppleEvent &, auto reply) {
        // The pictures waiting are counted off the main thread; the reply goes when they are. The
        // listeners are the connections the server holds as such.
        fStatus->countWaiting(getLocalSourceUploadFolder().value_or(QString()),
            [this, reply, server = QPointer<CommandServer>(&server)](const CycleStatus::WaitingCount &waiting) {
                const QJsonObject line { { QStringLiteral("status"),
                    statusObject(statusReport(), waiting, server ? server->listenerCount() : 0) } };
                reply->send(QJsonDocument(line).toJson(QJsonDocument::Compact));
                reply->finish();
            });
    });
    server.setEventHandler(kVeskEventClass, kVeskMetrics, [this](const AppleEvent &, AppleEventReply &reply) {
        QString text = QString::fromUtf8(metricsExposition());
        text.chop(1); // the reply is one text; its reader ends it with a line feed
        reply.directObject = AEDescriptor::text(text);
    });
    server.setStreamHandler(
        kVeskEventClass, kVeskEvents,
        [this](const AppleEvent &, auto stream) {
            eventListenerCount(); // forgets those that left meanwhile
            fEventListeners.push_back(std::move(stream));
        },
        true);
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
