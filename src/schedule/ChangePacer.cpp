#include "schedule/ChangePacer.h"

namespace vesk {

ChangePacer::ChangePacer(Timing timing)
    : fTiming(timing)
    , fTokens(timing.burst)
{ }

void ChangePacer::added(const QByteArray &path, Time now)
{
    fPending.insert(path, now);
    fOrder.emplace_back(now, path);
}

void ChangePacer::removed(const QByteArray &path, Time now, bool deleted)
{
    if (!fPending.remove(path))
        fRemovals = true;
    dropStale();
    if (!deleted)
        return;
    if (now - fSecondBegan >= std::chrono::seconds(1)) {
        fDeletedBefore = now - fSecondBegan >= std::chrono::seconds(2) ? 0 : fDeleted;
        fDeleted = 0;
        fSecondBegan = now;
    }
    ++fDeleted;
}

bool ChangePacer::churning(Time now) const
{
    const auto since = now - fSecondBegan;
    if (since >= std::chrono::seconds(2))
        return false;
    return (since >= std::chrono::seconds(1) ? fDeleted : fDeleted + fDeletedBefore) >= fTiming.churn;
}

void ChangePacer::dropStale()
{
    while (!fOrder.empty()) {
        const auto found = fPending.constFind(fOrder.front().second);
        if (found != fPending.cend() && found.value() == fOrder.front().first)
            return;
        fOrder.pop_front();
    }
}

void ChangePacer::refill(Time now)
{
    if (fTokens >= fTiming.burst) {
        fRefilledAt = now;
        return;
    }
    const auto steps = (now - fRefilledAt) / fTiming.refill;
    if (steps <= 0)
        return;
    fTokens = static_cast<int>(std::min<decltype(steps)>(fTiming.burst, fTokens + steps));
    fRefilledAt += steps * fTiming.refill;
}

bool ChangePacer::take(Time now)
{
    refill(now);
    dropStale();
    const bool churn = churning(now);
    const Clock::duration settle = churn ? fTiming.churnSettle : fTiming.settle;
    const bool settled = !fOrder.empty() && fOrder.front().first + settle <= now;
    if (settled && fTokens > 0 && (!churn || now - fLastRequest >= fTiming.removals)) {
        --fTokens;
        // The pass sees every entry that has settled; those still settling get a request of their own.
        while (!fOrder.empty() && fOrder.front().first + settle <= now) {
            const auto found = fPending.constFind(fOrder.front().second);
            if (found != fPending.cend() && found.value() == fOrder.front().first)
                fPending.erase(found);
            fOrder.pop_front();
        }
        dropStale();
        fRemovals = false;
        fLastRequest = now;
        return true;
    }
    if (!settled && fRemovals && now - fLastRequest >= fTiming.removals) {
        fRemovals = false;
        fLastRequest = now;
        return true;
    }
    return false;
}

std::optional<ChangePacer::Time> ChangePacer::wakeAt(Time now)
{
    dropStale();
    std::optional<Time> at;
    if (!fOrder.empty()) {
        const bool churn = churning(now);
        at = fOrder.front().first + (churn ? fTiming.churnSettle : fTiming.settle);
        if (fTokens <= 0)
            at = std::max(*at, fRefilledAt + fTiming.refill);
        if (churn) // and when the churn may be over
            at = std::min(std::max(*at, fLastRequest + fTiming.removals), fSecondBegan + std::chrono::seconds(2));
    } else if (fRemovals) {
        at = fLastRequest + fTiming.removals;
    }
    return at;
}

} // namespace vesk
