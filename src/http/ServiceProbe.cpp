#include "http/ServiceProbe.h"

#include "diag/Console.h"
#include "http/Reply.h"

namespace vesk {

ServiceProbe::ServiceProbe(QString endpoint, double timeScale, std::function<void(const State &)> changed,
    std::function<void(std::chrono::milliseconds away)> back)
    : fEndpoint(std::move(endpoint))
    , fTimeScale(timeScale)
    , fChanged(std::move(changed))
    , fBack(std::move(back))
{ }

ServiceProbe::~ServiceProbe()
{
    stop();
}

ServiceProbe::Clock::duration ServiceProbe::scaled(double seconds) const
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds * fTimeScale));
}

void ServiceProbe::planNextCheck(Clock::time_point from, std::optional<double> retryAfterSeconds)
{
    const bool longAway = from - fAwayStart >= scaled(kLongAwaySeconds);
    Clock::duration wait = scaled(longAway ? kLongIntervalSeconds : kIntervalSeconds);
    if (retryAfterSeconds)
        wait = std::max(wait, scaled(std::min(*retryAfterSeconds, kMaxRetryAfterSeconds)));
    fNextCheck = from + wait;
}

ServiceProbe::State ServiceProbe::stateLocked() const
{
    State state;
    state.away = fAway;
    if (fAway) {
        state.since = fSince;
        state.reason = fReason;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(fNextCheck - Clock::now());
        state.nextCheck = QDateTime::currentDateTime().addMSecs(std::max<qint64>(0, left.count()));
    }
    return state;
}

void ServiceProbe::serviceAway(const QString &reason, std::optional<double> retryAfterSeconds, bool webPage)
{
    State state;
    {
        std::lock_guard<std::mutex> guard(fLock);
        if (fStopping)
            return;
        const Clock::time_point now = Clock::now();
        if (!fAway) {
            fAway = true;
            fWebPage = false;
            fSince = QDateTime::currentDateTime();
            fAwayStart = now;
        }
        fWebPage = fWebPage || webPage;
        fReason = reason;
        planNextCheck(now, retryAfterSeconds);
        if (!fThread.joinable())
            fThread = std::thread(&ServiceProbe::run, this);
        fWake.notify_all();
        state = stateLocked();
    }
    if (fChanged)
        fChanged(state);
}

bool ServiceProbe::isAway() const
{
    std::lock_guard<std::mutex> guard(fLock);
    return fAway;
}

ServiceProbe::State ServiceProbe::state() const
{
    std::lock_guard<std::mutex> guard(fLock);
    return stateLocked();
}

void ServiceProbe::checkNow()
{
    std::lock_guard<std::mutex> guard(fLock);
    if (!fAway)
        return;
    fNextCheck = Clock::now();
    fWake.notify_all();
}

void ServiceProbe::stop()
{
    {
        std::lock_guard<std::mutex> guard(fLock);
        fStopping = true;
        fWake.notify_all();
    }
    fTransfer.cancel(); // ends a check in progress
    if (fThread.joinable())
        fThread.join();
}

void ServiceProbe::run()
{
    std::unique_lock<std::mutex> guard(fLock);
    for (;;) {
        fWake.wait(guard, [this] { return fStopping || fAway; });
        if (fStopping)
            return;
        if (Clock::now() < fNextCheck) {
            fWake.wait_until(guard, fNextCheck); // a new plan, Retry Now or stop wake it early
            continue;
        }
        const bool webPageMeansAway = fWebPage;
        guard.unlock();
        const TransferOutcome answer = fTransfer.head(fEndpoint.toUtf8(), TransferTimeouts::fromEnvironment());
        const bool away = checkSaysAway(answer.error && answer.error->beforeRequest, answer.statusCode, answer.headers,
            answer.redirectUrl, fEndpoint, webPageMeansAway);
        consoleLog(
            QStringLiteral("Is the service back? HEAD %1: %2")
                .arg(fEndpoint,
                    answer.error ? answer.error->description : QStringLiteral("status %1").arg(answer.statusCode)));
        guard.lock();
        if (fStopping)
            return;
        State state;
        std::chrono::milliseconds awayFor { 0 };
        if (away) {
            planNextCheck(Clock::now(),
                retryAfterSeconds(headerValue(answer.headers, "Retry-After"), QDateTime::currentDateTimeUtc()));
        } else {
            awayFor = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - fAwayStart);
            fAway = false;
            fWebPage = false;
            fReason.clear();
        }
        state = stateLocked();
        guard.unlock();
        if (fChanged)
            fChanged(state);
        if (!away && fBack)
            fBack(awayFor);
        guard.lock();
    }
}

} // namespace vesk
