#include "ui/DesktopNotifier.h"

#include "cycle/CycleStatus.h"
#include "diag/Console.h"
#include "prefs/PrefKeys.h"
#include "prefs/PreferenceStore.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFile>
#include <QTimer>

#include <cctype>
#include <cstring>
#include <sys/stat.h>

namespace vesk {

namespace {
constexpr qint64 kBurstMs = 30 * 1000;
constexpr double kFailingSeconds = 5 * 60;
const QString kBusName = QStringLiteral("vesk-notifications");

// A D-Bus address value: bytes other than these are written %XX.
QString escapedAddressValue(const QByteArray &bytes)
{
    QString text;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || std::strchr("-_/.\\*", c))
            text += QLatin1Char(c);
        else
            text += QStringLiteral("%%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    return text;
}
// Outside text (file names, the service's messages, error texts) in a body, which the desktop reads
// as markup: a name such as "<a href=...>" must show as it is, never become a link.
QString bodyText(const QString &text)
{
    QString escaped = text.toHtmlEscaped();
    return escaped.replace(QLatin1Char('\''), QStringLiteral("&apos;"));
}
} // namespace

DesktopNotifier::DesktopNotifier(CycleStatus &status, PreferenceStore &store, double timeScale, QObject *parent)
    : QObject(parent)
    , fStore(store)
    , fTimeScale(timeScale)
{
    connect(&status, &CycleStatus::event, this, &DesktopNotifier::handle);
    fFailingTimer = new QTimer(this);
    fFailingTimer->setSingleShot(true);
    connect(fFailingTimer, &QTimer::timeout, this, &DesktopNotifier::failingTimeout);
}

DesktopNotifier::~DesktopNotifier()
{
    if (fBus)
        QDBusConnection::disconnectFromBus(kBusName);
}

QString DesktopNotifier::sessionBusAddress()
{
    const QString named = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    if (!named.isEmpty())
        return named;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty())
        return {};
    const QByteArray path = QFile::encodeName(runtime + QStringLiteral("/bus"));
    struct stat info { };
    if (::stat(path.constData(), &info) != 0 || !S_ISSOCK(info.st_mode))
        return {};
    return QStringLiteral("unix:path=") + escapedAddressValue(path);
}

void DesktopNotifier::handle(const QJsonObject &event)
{
    const QString what = event.value(QStringLiteral("event")).toString();
    const QString path = event.value(QStringLiteral("path")).toString();
    if (what == QLatin1String("stopped by a service error")) {
        Notice &notice = burst(ServiceError);
        notice.summary = notice.count == 1
            ? QStringLiteral("Uploads stopped: the service reported an error")
            : QStringLiteral("Uploads stopped %1 times: the service reported an error").arg(notice.count);
        notice.body = bodyText(event.value(QStringLiteral("message")).toString())
            + QStringLiteral("\nNothing more is sent until a pass is started again.");
        notice.critical = true;
        show(ServiceError);
    } else if (what == QLatin1String("parked")) {
        Notice &notice = burst(Parked);
        notice.summary = notice.count == 1 ? QStringLiteral("1 picture parked in Problem Folder")
                                           : QStringLiteral("%1 pictures parked in Problem Folder").arg(notice.count);
        notice.body = QStringLiteral("The last: %1: %2")
                          .arg(bodyText(path), bodyText(event.value(QStringLiteral("reason")).toString()));
        show(Parked);
    } else if (what == QLatin1String("transfer failed") || what == QLatin1String("service away")) {
        fLastFailure = bodyText(what == QLatin1String("service away")
                ? event.value(QStringLiteral("reason")).toString()
                : QStringLiteral("%1: %2").arg(path, event.value(QStringLiteral("error")).toString()));
        if (!fFailing) {
            fFailing = true;
            fFailingTimer->start(static_cast<int>(kFailingSeconds * 1000 * fTimeScale));
        }
    } else if (what == QLatin1String("service back")) {
        // Nothing fails any more: the notification saying so goes, the pictures go on.
        withdraw(Failing);
    } else if (what == QLatin1String("uploaded")) {
        fFailing = false;
        fFailingTimer->stop();
        withdraw(ServiceError); // the service takes pictures again: whatever stopped it was mended
        withdraw(Failing);
        if (fFailingShown) {
            fFailingShown = false;
            Notice &notice = fNotices[Failing];
            notice.summary = QStringLiteral("Uploads work again");
            notice.body = QStringLiteral("%1 went through.").arg(bodyText(path));
            notice.critical = false;
            show(Failing);
        }
    }
}

void DesktopNotifier::failingTimeout()
{
    if (!fFailing)
        return;
    fFailingShown = true;
    Notice &notice = fNotices[Failing];
    notice.summary = QStringLiteral("Uploads are failing");
    const std::optional<QDateTime> next = fNextTry ? fNextTry() : std::nullopt;
    notice.body = QStringLiteral("No picture has gone through for 5 minutes. The pictures are kept in the source "
                                 "folder; %1. The last error: %2")
                      .arg(next && next->isValid() ? QStringLiteral("the next try is at %1")
                                                         .arg(next->toLocalTime().toString(QStringLiteral("HH:mm:ss")))
                                                   : QStringLiteral("they are tried again with the next pass"),
                          fLastFailure);
    notice.critical = true;
    show(Failing);
}

DesktopNotifier::Notice &DesktopNotifier::burst(Kind kind)
{
    Notice &notice = fNotices[kind];
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (!notice.last.isValid() || notice.last.msecsTo(now) > kBurstMs) {
        notice.count = 0;
        notice.id = 0;
    }
    notice.last = now;
    ++notice.count;
    return notice;
}

void DesktopNotifier::show(Kind kind)
{
    if (!fStore.boolForKey(PrefKeys::sPrefNotifyOnProblems))
        return;
    Notice &notice = fNotices[kind];
    notice.withdrawn = false;
    // The id of the notification a burst updates comes with the answer to the first call.
    if (notice.pending) {
        notice.dirty = true;
        return;
    }
    send(kind);
}

bool DesktopNotifier::connectBus()
{
    if (fBus && fBus->isConnected())
        return true;
    const QString address = sessionBusAddress();
    if (address.isEmpty()) {
        if (!fBusTried)
            consoleLog(QStringLiteral("No session bus: desktop notifications are not shown"));
        fBusTried = true;
        return false;
    }
    fBusTried = true;
    if (fBus)
        QDBusConnection::disconnectFromBus(kBusName);
    fBus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, kBusName));
    if (!fBus->isConnected())
        consoleLog(QStringLiteral("Cannot reach the session bus for desktop notifications: %1")
                       .arg(fBus->lastError().message()));
    return fBus->isConnected();
}

void DesktopNotifier::send(Kind kind)
{
    if (!connectBus())
        return;
    Notice &notice = fNotices[kind];
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"), QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("Notify"));
    const QVariantMap hints { { QStringLiteral("desktop-entry"), QStringLiteral("vesk-ftpuploader") },
        { QStringLiteral("urgency"), QVariant::fromValue(uchar(notice.critical ? 2 : 1)) } };
    call << QStringLiteral(VESK_DISPLAY_NAME) << notice.id << QStringLiteral("vesk-ftpuploader") << notice.summary
         << notice.body << QStringList() << hints << qint32(-1);
    notice.pending = true;
    notice.dirty = false;
    auto *watcher = new QDBusPendingCallWatcher(fBus->asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, kind](QDBusPendingCallWatcher *finished) {
        finished->deleteLater();
        Notice &shown = fNotices[kind];
        shown.pending = false;
        const QDBusPendingReply<uint> reply = *finished;
        if (reply.isError()) {
            consoleLog(QStringLiteral("The desktop notification was not shown: %1").arg(reply.error().message()));
            return;
        }
        shown.id = reply.value();
        if (shown.withdrawn)
            withdraw(kind);
        else if (shown.dirty)
            send(kind);
    });
}

void DesktopNotifier::withdraw(Kind kind)
{
    Notice &notice = fNotices[kind];
    if (!notice.critical || (notice.id == 0 && !notice.pending))
        return;
    notice.withdrawn = true;
    notice.dirty = false;
    if (notice.pending || !connectBus())
        return; // closed when the id comes
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"), QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("CloseNotification"));
    call << notice.id;
    fBus->asyncCall(call);
    notice.id = 0;
    notice.count = 0;
    notice.critical = false;
}

} // namespace vesk
