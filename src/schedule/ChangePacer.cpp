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

void ChangePacer::removed(const QByteArray &path, Time)
{
    if (!fPending.remove(path))
        fRemovals = true;
    dropStale();
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
    const bool settled = !fOrder.empty() && fOrder.front().first + fTiming.settle <= now;
    if (settled && fTokens > 0) {
        --fTokens;
        // The pass sees every entry that has settled; those still settling get a request of their own.
        while (!fOrder.empty() && fOrder.front().first + fTiming.settle <= now) {
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

std::optional<ChangePacer::Time> ChangePacer::wakeAt()
{
    dropStale();
    std::optional<Time> at;
    if (!fOrder.empty()) {
        at = fOrder.front().first + fTiming.settle;
        if (fTokens <= 0)
            at = std::max(*at, fRefilledAt + fTiming.refill);
    } else if (fRemovals) {
        at = fLastRequest + fTiming.removals;
    }
    return at;
}

} // namespace vesk
