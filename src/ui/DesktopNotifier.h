#pragma once
// DesktopNotifier: tells the desktop, through the freedesktop notification service on the session
// bus, when the cycle stops on a service error, when pictures are parked, when transfers have failed
// (or the service has been away) without a success for 5 minutes, and once when uploads work again; never about a
// picture that went through. Problems that come within 30 s of the last one update its notification (replaces_id)
// instead of adding one. A critical notification is withdrawn once its cause is gone: the stop when the service
// takes a picture again, the failing uploads when one goes through or the service is back. "prefNotifyOnProblems" turns
// it off. A missing bus or service is silent, and no bus is ever started. Main thread.

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QDBusConnection;
class QTimer;

namespace vesk {

class CycleStatus;
class PreferenceStore;

class DesktopNotifier : public QObject {
    Q_OBJECT

public:
    // timeScale shortens the 5 minutes of failures (tests).
    DesktopNotifier(CycleStatus &status, PreferenceStore &store, double timeScale, QObject *parent = nullptr);
    ~DesktopNotifier() override;

    // $DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus when that socket exists, else empty.
    static QString sessionBusAddress();

    void handle(const QJsonObject &event);
    // When the pictures that wait are tried next (a retry or a check of a service that is away), for
    // the failing uploads' notification.
    void setNextTry(std::function<std::optional<QDateTime>()> nextTry) { fNextTry = std::move(nextTry); }

private:
    enum Kind { ServiceError, Parked, Failing, KindCount };
    struct Notice {
        uint id = 0; // the service's id of the notification on screen, 0 before the first
        QDateTime last;
        int count = 0; // problems in the burst
        bool pending = false; // a call is under way: the next one must wait for its id
        bool dirty = false;
        QString summary, body;
        bool critical = false;
        bool withdrawn = false; // closed, or to be closed once its id is known
    };
    // Counts one more problem of the kind: a burst goes on within 30 s of its last problem.
    Notice &burst(Kind kind);
    void show(Kind kind);
    void send(Kind kind);
    // Closes the kind's notification on screen (CloseNotification); the next one starts afresh.
    void withdraw(Kind kind);
    bool connectBus();
    void failingTimeout();

    PreferenceStore &fStore;
    double fTimeScale;
    Notice fNotices[KindCount];
    std::unique_ptr<QDBusConnection> fBus;
    bool fBusTried = false;
    QTimer *fFailingTimer = nullptr;
    bool fFailing = false; // a transfer failed and nothing went through since
    bool fFailingShown = false;
    QString fLastFailure; // as body text
    std::function<std::optional<QDateTime>()> fNextTry;
};

} // namespace vesk
