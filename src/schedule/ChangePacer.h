#pragma once
// Turns the folder watcher's events into requests for a pass, as an event stream with a latency
// would: an entry made or written counts once it has stayed for a short settling time, so a file that
// another program makes and removes again at once asks for nothing; while entries keep arriving the
// requests keep a bounded rate; removals alone ask at most once an interval. While files are being
// deleted by the dozen (another program's churn) an entry must stay for the interval, and requests
// are an interval apart. Used by the watcher thread alone; every moment is given by the caller.

#include <QByteArray>
#include <QHash>

#include <chrono>
#include <deque>
#include <optional>

namespace vesk {

class ChangePacer {
public:
    using Clock = std::chrono::steady_clock;
    using Time = Clock::time_point;
    struct Timing {
        Clock::duration settle = std::chrono::milliseconds(20);
        int burst = 10; // requests for new entries that may follow one another at once
        Clock::duration refill = std::chrono::milliseconds(100); // one more such request after each
        Clock::duration removals = std::chrono::seconds(1); // least gap before a request for removals alone
        int churn = 10; // deletions within a second (or the one before) that make it churn
        Clock::duration churnSettle = std::chrono::seconds(1); // an entry's settling time meanwhile
    };
    explicit ChangePacer(Timing timing);
    ChangePacer()
        : ChangePacer(Timing {})
    { }

    // An entry (folder path and name) made, moved in, written or given new attributes.
    void added(const QByteArray &path, Time now);
    // An entry removed (deleted: unlinked, not renamed) or moved away; one that came within its
    // settling time is forgotten with it.
    void removed(const QByteArray &path, Time now, bool deleted = false);
    bool churning(Time now) const;

    // Whether a pass is to be asked for at this moment; true takes what had gathered.
    bool take(Time now);
    // When take() may next answer true; none while nothing waits.
    std::optional<Time> wakeAt(Time now);

private:
    void refill(Time now);
    void dropStale();

    Timing fTiming;
    QHash<QByteArray, Time> fPending; // entries in their settling time or settled, by their last event
    std::deque<std::pair<Time, QByteArray>> fOrder; // the same in time order, with stale ones among them
    bool fRemovals = false;
    Time fLastRequest {};
    int fTokens;
    Time fRefilledAt {};
    Time fSecondBegan {}; // deletions counted by whole seconds: this one and the one before
    int fDeleted = 0;
    int fDeletedBefore = 0;
};

} // namespace vesk
