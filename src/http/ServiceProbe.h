#pragma once
// ServiceProbe: while the service is away, asks it on a thread of its own whether it is back, with a
// HEAD of the upload address over the same settings as the uploads (proxy, CAs, time-outs): every
// 2 s, every 10 s once it has been away for 10 minutes, never sooner than its Retry-After (at most 5
// minutes). The intervals are multiplied by the time scale. When the service answers again, the
// back handler runs on the probe's thread. Thread-safe; stop() (or the destructor) ends the thread.

#include "http/HttpTransfer.h"

#include <QDateTime>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace vesk {

class ServiceProbe {
public:
    struct State {
        bool away = false;
        QDateTime since; // when it went away
        QDateTime nextCheck;
        QString reason; // the answer that made it away
    };

    // changed: the state after every change (away, a check that found it still away, back). Both
    // handlers run on the probe's thread, or on the caller's for the first away().
    ServiceProbe(QString endpoint, double timeScale, std::function<void(const State &)> changed,
        std::function<void(std::chrono::milliseconds away)> back);
    ~ServiceProbe();
    ServiceProbe(const ServiceProbe &) = delete;
    ServiceProbe &operator=(const ServiceProbe &) = delete;

    // The service is away (an upload found it so). Starts the checks, or moves the next one to honour
    // retryAfterSeconds. webPage: it answered with a web page, which then counts as away too.
    void serviceAway(const QString &reason, std::optional<double> retryAfterSeconds, bool webPage);
    bool isAway() const;
    State state() const;
    // Asks at once (Retry Now), when away.
    void checkNow();
    // Ends the checks and the thread (at quit). Any thread but the probe's.
    void stop();

    static constexpr double kIntervalSeconds = 2;
    static constexpr double kLongIntervalSeconds = 10;
    static constexpr double kLongAwaySeconds = 600;

private:
    using Clock = std::chrono::steady_clock;
    void run();
    Clock::duration scaled(double seconds) const;
    // Moves the next check; under fLock.
    void planNextCheck(Clock::time_point from, std::optional<double> retryAfterSeconds);
    State stateLocked() const;

    const QString fEndpoint;
    const double fTimeScale;
    std::function<void(const State &)> fChanged;
    std::function<void(std::chrono::milliseconds)> fBack;
    HttpTransfer fTransfer; // a handle of its own: the uploads' may be in use

    mutable std::mutex fLock; // guards everything below
    std::condition_variable fWake;
    bool fAway = false;
    bool fWebPage = false;
    bool fStopping = false;
    QString fReason;
    QDateTime fSince;
    Clock::time_point fAwayStart;
    Clock::time_point fNextCheck;
    std::thread fThread;
};

} // namespace vesk
