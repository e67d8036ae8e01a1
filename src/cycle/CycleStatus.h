#pragma once
// CycleStatus: what the cycle is doing and has done, for the status request, the event stream, the
// tray icon and the desktop notifications. The cycle's threads report to it through short calls
// that take only its own lock (never fThreadLock); readers take a copy. It lives on the main thread
// and delivers its events there. It also counts the pictures waiting in a folder, on a thread of
// its own, from the listings the scan remembers (only folders changed since are read), so that
// neither the main thread nor the cycle's threads ever wait for a count.

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

class QSocketNotifier;

namespace vesk {

class FolderCache;

class CycleStatus : public QObject {
    Q_OBJECT

public:
    enum class Watcher { TimerOnly, Watching, Recovering };
    // What the last problem was, which decides what follows from it.
    enum class Problem { None, TransferFailed, Parked, ServiceError, Away, SettingsRefused };

    struct WaitingCount {
        qint64 pictures = 0;
        bool readable = false;
        bool complete = false; // false when the count stopped at its time limit
    };

    // The upper bounds of the upload-duration histogram, in seconds.
    static constexpr std::array<double, 11> kDurationBounds { 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120 };

    // What happened since start: the figures behind the metrics.
    struct Totals {
        qint64 uploaded = 0;
        qint64 parked = 0;
        qint64 uploadedNotMoved = 0; // taken by the service, but the move into the mirror failed
        qint64 failedPictures = 0; // pictures whose transfer failed (once per spell of failures)
        qint64 failedAttempts = 0;
        qint64 sentBytes = 0; // of the pictures the service took
        QDateTime lastUpload; // invalid until the first upload
        std::array<qint64, kDurationBounds.size()> durationCounts {}; // per bucket, not cumulative
        qint64 durationCount = 0;
        double durationSum = 0;
    };

    struct Snapshot {
        QString picture; // the picture being sent, relative to the source folder; empty when none
        QDateTime pictureSince;
        qint64 pictureSent = 0, pictureTotal = 0; // of its request's body; 0 of 0 before it goes
        bool serviceError = false; // the cycle stopped on a service error and no pass started since
        bool settingsRefused = false; // the last check of the settings refused them
        QString lastError;
        QDateTime lastErrorTime;
        Problem lastProblem = Problem::None;
        bool lastPassClean = false; // a pass was started and no problem came since
        // The uploads that ended in the last minute, or since the service came back if that is later,
        // and the seconds they span (from the start of the first to now): the rate of the last minute.
        int lastMinuteUploads = 0;
        double lastMinuteSeconds = 0;
        int rateSamples = 0; // uploads behind the two rates (the last few)
        double picturesPerMinute = 0;
        double megabytesPerSecond = 0; // 10^6 bytes per second of sending
        Watcher watcher = Watcher::TimerOnly;
        // When the service went away (uploads wait until it answers); invalid while it answers.
        QDateTime awaySince;
        QDateTime nextCheck; // when it is asked again, while away
        QString awayReason;
        Totals totals;
        QDateTime started;
        WaitingCount lastCount; // the last count of waiting pictures, made at lastCountTime
        QDateTime lastCountTime; // invalid until a count was made
    };

    explicit CycleStatus(QObject *parent = nullptr);
    ~CycleStatus() override; // ends the counting thread

    // Reports of the cycle. Any thread.
    void uploadStarted(const QString &item, qint64 bytes);
    // The picture's request as it goes: its body bytes sent of all of them.
    void sending(qint64 sent, qint64 total);
    void uploaded(const QString &item);
    void parked(const QString &item, const QString &reason);
    // Before uploaded(), which announces it: the picture the service took could not go into the mirror.
    void notMoved();
    // firstOfItsSpell: the picture's first failure since it last went through or left.
    void transferFailed(const QString &item, const QString &error, bool firstOfItsSpell);
    void gone(const QString &item); // left the source folder before it was sent
    void serviceError(const QString &message);
    // An upload found the service away: the picture waits, without a penalty.
    void foundAway(const QString &item, const QString &line);
    // The checks' state: away since, next check; an invalid since when it answers again.
    void serviceAwayChanged(const QDateTime &since, const QDateTime &nextCheck, const QString &reason);
    void settingsChecked(bool accepted, const QString &reason);
    void haltChanged(bool halted);
    void passStarted();
    void passFoundNothing();
    void watcherChanged(Watcher state);

    Snapshot snapshot() const;
    static QString watcherText(Watcher state);
    // "the service is away since 19:12 (next check in 2 s)"; empty while it answers.
    static QString awayText(const Snapshot &shot, const QDateTime &now);

    // The scan's remembered listings, which the counts use and keep. Before the first count.
    void setFolderCache(std::shared_ptr<FolderCache> cache) { fFolderCache = std::move(cache); }
    // Counts the regular files in sub-folders of the folder (hidden ones and links left out), on
    // the counting thread, for at most the time limit. The answer comes on the main thread.
    void countWaiting(const QString &folder, std::function<void(const WaitingCount &)> done);
    static WaitingCount countPictures(const QString &folder, std::chrono::milliseconds limit,
        const std::function<bool()> &stop = {}, FolderCache *cache = nullptr);

signals:
    // One line of the event stream: "event" names what happened ("uploaded", "parked", "transfer
    // failed", "gone", "halted", "resumed", "stopped by a service error", "settings refused", "service
    // away", "service back"), "time" when,
    // and the details. Main thread, in the order the cycle reported them.
    void event(const QJsonObject &event);
    // The last count of waiting pictures found another number. Main thread.
    void waitingCountChanged();

private:
    void publish(QJsonObject event);
    // Runs the call on the main thread, after every call handed over before it. The calls wait in
    // fOutbox under a lock of ours, and the first one waiting wakes the main thread through fOutboxWake,
    // which runs all that are waiting then. A worker posts nothing into Qt's event queue.
    void onMainThread(std::function<void()> call);
    Q_INVOKABLE void runOutbox();
    void noteError(const QString &text, const QDateTime &when, Problem kind);
    void countingThreadMain();

    struct Sent {
        std::chrono::steady_clock::time_point start, end;
        qint64 bytes = 0;
    };

    mutable std::mutex fLock; // guards everything down to fRecent
    QString fPicture;
    qint64 fPictureBytes = 0;
    qint64 fPictureSent = 0, fPictureTotal = 0;
    QDateTime fPictureSince;
    std::chrono::steady_clock::time_point fPictureStart;
    bool fServiceError = false;
    bool fSettingsRefused = false;
    bool fOverflow = false;
    bool fWatching = false;
    QString fLastError;
    QDateTime fLastErrorTime;
    Problem fLastProblem = Problem::None;
    bool fPassStarted = false;
    bool fPassProblem = false;
    std::deque<Sent> fLastMinute; // pruned as uploads come
    std::chrono::steady_clock::time_point fBackAt; // when the service last came back
    QDateTime fAwaySince;
    QDateTime fNextCheck;
    QString fAwayReason;
    std::deque<Sent> fRecent;
    Totals fTotals;
    const QDateTime fStarted = QDateTime::currentDateTime();
    WaitingCount fLastCount;
    QDateTime fLastCountTime;

    struct CountRequest {
        QString folder;
        std::function<void(const WaitingCount &)> done;
    };
    std::mutex fCountLock; // guards the requests and the thread's start
    std::condition_variable fCountWake;
    std::deque<CountRequest> fCountRequests;
    std::atomic<bool> fCountStop { false };
    std::shared_ptr<FolderCache> fFolderCache;
    std::thread fCounter;

    std::mutex fOutboxLock;
    std::deque<std::function<void()>> fOutbox;
    int fOutboxWake = -1; // an eventfd that the main thread watches; -1: a queued call wakes it
    QSocketNotifier *fOutboxNotifier = nullptr;
};

} // namespace vesk
