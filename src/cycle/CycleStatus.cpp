#include "cycle/CycleStatus.h"
#include "cycle/FolderWalk.h"

#include <QFile>
#include <QSocketNotifier>
#include <QThread>

#include <algorithm>
#include <map>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk {

namespace {
// The rates are those of the last few uploads.
constexpr size_t kRateWindow = 20;
constexpr auto kCountLimit = std::chrono::seconds(2);
constexpr auto kLastMinute = std::chrono::seconds(60);

QString isoTime(const QDateTime &when)
{
    return when.toOffsetFromUtc(when.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

using Clock = std::chrono::steady_clock;
} // namespace

CycleStatus::CycleStatus(QObject *parent)
    : QObject(parent)
    , fOutboxWake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (fOutboxWake < 0)
        return;
    fOutboxNotifier = new QSocketNotifier(fOutboxWake, QSocketNotifier::Read, this);
    connect(fOutboxNotifier, &QSocketNotifier::activated, this, [this] {
        eventfd_t wakes = 0;
        ::eventfd_read(fOutboxWake, &wakes);
        runOutbox();
    });
}

CycleStatus::~CycleStatus()
{
    {
        std::lock_guard<std::mutex> guard(fCountLock);
        fCountStop = true;
        fCountWake.notify_all();
    }
    if (fCounter.joinable())
        fCounter.join();
    delete fOutboxNotifier;
    if (fOutboxWake >= 0)
        ::close(fOutboxWake);
}

void CycleStatus::publish(QJsonObject event)
{
    event.insert(QStringLiteral("time"), isoTime(QDateTime::currentDateTime()));
    // Queued even on the main thread, so that listeners always see the cycle's order.
    onMainThread([this, event = std::move(event)] { emit this->event(event); });
}

void CycleStatus::onMainThread(std::function<void()> call)
{
    bool first = false;
    {
        std::lock_guard<std::mutex> guard(fOutboxLock);
        first = fOutbox.empty();
        fOutbox.push_back(std::move(call));
    }
    if (first && fOutboxWake >= 0)
        ::eventfd_write(fOutboxWake, 1);
    else if (first)
        QMetaObject::invokeMethod(this, "runOutbox", Qt::QueuedConnection);
}

void CycleStatus::runOutbox()
{
    std::deque<std::function<void()>> calls;
    {
        std::lock_guard<std::mutex> guard(fOutboxLock);
        calls.swap(fOutbox);
    }
    for (const std::function<void()> &call : calls)
        call();
}

void CycleStatus::noteError(const QString &text, const QDateTime &when, Problem kind)
{
    fLastError = text;
    fLastErrorTime = when;
    fLastProblem = kind;
    fPassProblem = true;
}

void CycleStatus::uploadStarted(const QString &item, qint64 bytes)
{
    std::lock_guard<std::mutex> guard(fLock);
    fPicture = item;
    fPictureBytes = bytes;
    fPictureSent = fPictureTotal = 0;
    fPictureSince = QDateTime::currentDateTime();
    fPictureStart = Clock::now();
}

void CycleStatus::sending(qint64 sent, qint64 total)
{
    std::lock_guard<std::mutex> guard(fLock);
    fPictureSent = sent;
    fPictureTotal = total;
}

void CycleStatus::uploaded(const QString &item)
{
    QJsonObject event { { QStringLiteral("event"), QStringLiteral("uploaded") }, { QStringLiteral("path"), item } };
    {
        std::lock_guard<std::mutex> guard(fLock);
        if (item == fPicture) {
            const Sent sent { fPictureStart, Clock::now(), fPictureBytes };
            fRecent.push_back(sent);
            if (fRecent.size() > kRateWindow)
                fRecent.pop_front();
            fLastMinute.push_back(sent);
            while (sent.end - fLastMinute.front().end > kLastMinute)
                fLastMinute.pop_front();
            const double seconds = std::chrono::duration<double>(sent.end - sent.start).count();
            event.insert(QStringLiteral("bytes"), fPictureBytes);
            event.insert(QStringLiteral("seconds"), seconds);
            fTotals.sentBytes += fPictureBytes;
            const auto bucket = std::lower_bound(kDurationBounds.begin(), kDurationBounds.end(), seconds);
            if (bucket != kDurationBounds.end())
                ++fTotals.durationCounts[size_t(bucket - kDurationBounds.begin())];
            ++fTotals.durationCount;
            fTotals.durationSum += seconds;
            fPicture.clear();
        }
        ++fTotals.uploaded;
        fTotals.lastUpload = QDateTime::currentDateTime();
    }
    publish(event);
}

void CycleStatus::parked(const QString &item, const QString &reason)
{
    {
        std::lock_guard<std::mutex> guard(fLock);
        fPicture.clear();
        ++fTotals.parked;
        noteError(QStringLiteral("%1: %2").arg(item, reason), QDateTime::currentDateTime(), Problem::Parked);
    }
    publish({ { QStringLiteral("event"), QStringLiteral("parked") }, { QStringLiteral("path"), item },
        { QStringLiteral("reason"), reason } });
}

void CycleStatus::notMoved()
{
    std::lock_guard<std::mutex> guard(fLock);
    ++fTotals.uploadedNotMoved;
}

void CycleStatus::transferFailed(const QString &item, const QString &error, bool firstOfItsSpell)
{
    {
        std::lock_guard<std::mutex> guard(fLock);
        if (firstOfItsSpell)
            ++fTotals.failedPictures;
        ++fTotals.failedAttempts;
        fPicture.clear();
        noteError(QStringLiteral("%1: %2").arg(item, error), QDateTime::currentDateTime(), Problem::TransferFailed);
    }
    publish({ { QStringLiteral("event"), QStringLiteral("transfer failed") }, { QStringLiteral("path"), item },
        { QStringLiteral("error"), error } });
}

void CycleStatus::gone(const QString &item)
{
    {
        std::lock_guard<std::mutex> guard(fLock);
        fPicture.clear();
    }
    publish({ { QStringLiteral("event"), QStringLiteral("gone") }, { QStringLiteral("path"), item } });
}

void CycleStatus::serviceError(const QString &message)
{
    {
        std::lock_guard<std::mutex> guard(fLock);
        fServiceError = true;
        fPicture.clear();
        noteError(message, QDateTime::currentDateTime(), Problem::ServiceError);
    }
    publish({ { QStringLiteral("event"), QStringLiteral("stopped by a service error") },
        { QStringLiteral("message"), message } });
}

void CycleStatus::foundAway(const QString &item, const QString &line)
{
    std::lock_guard<std::mutex> guard(fLock);
    fPicture.clear();
    noteError(QStringLiteral("%1: %2").arg(item, line), QDateTime::currentDateTime(), Problem::Away);
}

void CycleStatus::serviceAwayChanged(const QDateTime &since, const QDateTime &nextCheck, const QString &reason)
{
    QJsonObject event;
    {
        std::lock_guard<std::mutex> guard(fLock);
        if (since.isValid() && !fAwaySince.isValid())
            event
                = { { QStringLiteral("event"), QStringLiteral("service away") }, { QStringLiteral("reason"), reason } };
        else if (!since.isValid() && fAwaySince.isValid()) {
            event = { { QStringLiteral("event"), QStringLiteral("service back") },
                { QStringLiteral("seconds"), double(fAwaySince.msecsTo(QDateTime::currentDateTime())) / 1000.0 } };
            fBackAt = Clock::now(); // the rate before the outage says nothing about the one after it
        }
        fAwaySince = since;
        fNextCheck = nextCheck;
        fAwayReason = reason;
    }
    if (!event.isEmpty())
        publish(event);
}

QString CycleStatus::awayText(const Snapshot &shot, const QDateTime &now)
{
    if (!shot.awaySince.isValid())
        return {};
    const qint64 left = std::max<qint64>(0, (now.msecsTo(shot.nextCheck) + 999) / 1000);
    return QStringLiteral("the service is away since %1 (next check in %2 s)")
        .arg(shot.awaySince.toLocalTime().toString(QStringLiteral("HH:mm")))
        .arg(left);
}

void CycleStatus::settingsChecked(bool accepted, const QString &reason)
{
    {
        std::lock_guard<std::mutex> guard(fLock);
        fSettingsRefused = !accepted;
        if (!accepted)
            noteError(reason, QDateTime::currentDateTime(), Problem::SettingsRefused);
    }
    if (!accepted)
        publish(
            { { QStringLiteral("event"), QStringLiteral("settings refused") }, { QStringLiteral("reason"), reason } });
}

void CycleStatus::haltChanged(bool halted)
{
    publish({ { QStringLiteral("event"), halted ? QStringLiteral("halted") : QStringLiteral("resumed") } });
}

void CycleStatus::passStarted()
{
    std::lock_guard<std::mutex> guard(fLock);
    fServiceError = false;
    fPassStarted = true;
    fPassProblem = false;
}

void CycleStatus::passFoundNothing()
{
    std::lock_guard<std::mutex> guard(fLock);
    fOverflow = false; // the full pass after an overflow is done
}

void CycleStatus::watcherChanged(Watcher state)
{
    std::lock_guard<std::mutex> guard(fLock);
    if (state == Watcher::Recovering)
        fOverflow = true;
    else
        fWatching = state == Watcher::Watching;
}

CycleStatus::Snapshot CycleStatus::snapshot() const
{
    std::lock_guard<std::mutex> guard(fLock);
    Snapshot shot;
    shot.picture = fPicture;
    shot.pictureSince = fPictureSince;
    shot.pictureSent = fPictureSent;
    shot.pictureTotal = fPictureTotal;
    shot.serviceError = fServiceError;
    shot.settingsRefused = fSettingsRefused;
    shot.lastError = fLastError;
    shot.lastErrorTime = fLastErrorTime;
    shot.lastProblem = fLastProblem;
    shot.lastPassClean = fPassStarted && !fPassProblem;
    const Clock::time_point now = Clock::now();
    const Clock::time_point from = std::max(now - kLastMinute, fBackAt);
    Clock::time_point first = now;
    for (const Sent &sent : fLastMinute) {
        if (sent.end > from) {
            ++shot.lastMinuteUploads;
            first = std::min(first, sent.start);
        }
    }
    shot.lastMinuteSeconds = std::chrono::duration<double>(now - std::max(first, from)).count();
    shot.awaySince = fAwaySince;
    shot.nextCheck = fNextCheck;
    shot.awayReason = fAwayReason;
    shot.watcher = fOverflow ? Watcher::Recovering : fWatching ? Watcher::Watching : Watcher::TimerOnly;
    shot.totals = fTotals;
    shot.started = fStarted;
    shot.lastCount = fLastCount;
    shot.lastCountTime = fLastCountTime;
    shot.rateSamples = static_cast<int>(fRecent.size());
    if (!fRecent.empty()) {
        qint64 bytes = 0;
        double sending = 0;
        for (const Sent &sent : fRecent) {
            bytes += sent.bytes;
            sending += std::chrono::duration<double>(sent.end - sent.start).count();
        }
        const double span = std::chrono::duration<double>(fRecent.back().end - fRecent.front().start).count();
        shot.picturesPerMinute = span > 0 ? 60.0 * double(fRecent.size()) / span : 0;
        shot.megabytesPerSecond = sending > 0 ? double(bytes) / sending / 1e6 : 0;
    }
    return shot;
}

QString CycleStatus::watcherText(Watcher state)
{
    switch (state) {
    case Watcher::Watching:
        return QStringLiteral("watching");
    case Watcher::Recovering:
        return QStringLiteral("recovering from an overflow");
    case Watcher::TimerOnly:
        break;
    }
    return QStringLiteral("timer only");
}

void CycleStatus::countWaiting(const QString &folder, std::function<void(const WaitingCount &)> done)
{
    std::lock_guard<std::mutex> guard(fCountLock);
    if (fCountStop)
        return;
    fCountRequests.push_back(CountRequest { folder, std::move(done) });
    if (!fCounter.joinable())
        fCounter = std::thread(&CycleStatus::countingThreadMain, this);
    fCountWake.notify_all();
}

void CycleStatus::countingThreadMain()
{
    std::unique_lock<std::mutex> guard(fCountLock);
    for (;;) {
        fCountWake.wait(guard, [this] { return fCountStop || !fCountRequests.empty(); });
        if (fCountStop)
            return;
        // Every request waiting now is answered by one count made after it came.
        std::deque<CountRequest> requests;
        requests.swap(fCountRequests);
        guard.unlock();
        std::map<QString, WaitingCount> counted;
        for (const CountRequest &request : requests) {
            if (!counted.count(request.folder))
                counted[request.folder] = countPictures(
                    request.folder, kCountLimit, [this] { return fCountStop.load(); }, fFolderCache.get());
        }
        if (!requests.empty()) {
            const WaitingCount latest = counted[requests.back().folder];
            std::lock_guard<std::mutex> figures(fLock);
            if (latest.pictures != fLastCount.pictures || latest.readable != fLastCount.readable)
                onMainThread([this] { emit waitingCountChanged(); });
            fLastCount = latest;
            fLastCountTime = QDateTime::currentDateTime();
        }
        for (CountRequest &request : requests) {
            onMainThread([done = std::move(request.done), result = counted[request.folder]] { done(result); });
        }
        guard.lock();
    }
}

CycleStatus::WaitingCount CycleStatus::countPictures(
    const QString &folder, std::chrono::milliseconds limit, const std::function<bool()> &stop, FolderCache *cache)
{
    WaitingCount result;
    if (folder.isEmpty())
        return result;
    // The scan's own walk over the listings it remembers: only folders changed since are read.
    FolderWalk walk(folder, std::nullopt, cache);
    const Clock::time_point deadline = Clock::now() + limit;
    const FolderWalk::Count count = walk.countAll([&] { return Clock::now() > deadline || (stop && stop()); });
    result.readable = walk.rootReadable();
    result.pictures = count.pictures;
    result.complete = count.complete;
    return result;
}

} // namespace vesk
