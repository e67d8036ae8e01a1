#pragma once
// Bounded waits on a condition variable.

#include <chrono>

namespace vesk {

// cv.wait_for(lock, duration, predicate). Under ThreadSanitizer the deadline is taken on the system
// clock: this compiler's ThreadSanitizer does not see the steady-clock wait (pthread_cond_clockwait)
// release and retake the lock, and then reports races that are not there.
template <class Condition, class Lock, class Rep, class Period, class Predicate>
bool timedWait(Condition &cv, Lock &lock, std::chrono::duration<Rep, Period> duration, Predicate predicate)
{
#if defined(__SANITIZE_THREAD__)
    return cv.wait_until(lock,
        std::chrono::system_clock::now() + std::chrono::duration_cast<std::chrono::system_clock::duration>(duration),
        predicate);
#else
    return cv.wait_for(lock, duration, predicate);
#endif
}

} // namespace vesk
