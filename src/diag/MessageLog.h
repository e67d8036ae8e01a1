#pragma once
// The message log file: one file per run with one time-stamped line per entry, safe to write from
// any thread. Closed until InitLog, and again after CloseLog.

#include <QHash>
#include <QString>
#include <QStringList>

#include <chrono>
#include <deque>

namespace vesk {

class MessageLog {
public:
    // Opens the log at defaultPath(), keeping the previous run's file once as ...previous.txt.
    static void InitLog();
    // Opens the log at the given path (truncating it).
    static void InitLog(const QString &path);
    // Writes "[<asctime>] ==> <text>" and a line end, flushed before returning. With echo, also
    // writes "NSLog = <text>" to the console log.
    static void LogMessage(const char *text, bool echo);
    static void LogMessage(const QString &text, bool echo = false);
    static void CloseLog();

    static bool isOpen();
    static QString currentPath();
    static QString defaultPath();
    static QString previousPath();

    // The time field of a line for the given moment: asctime's 24 characters without the line end.
    static QString asctimeField(time_t moment);
};

// Holds back lines already written within the last minute: the first of a kind is written at once,
// the same text again within its minute is counted instead, and the count goes out once the minute
// is over, as "<text> (repeated N times in the last minute)"; a line that keeps coming is so written
// once a minute. Text of a different content is never held back. Not thread-safe: each user holds it
// under its own lock.
class RepeatedLines {
public:
    using Clock = std::chrono::steady_clock;
    explicit RepeatedLines(Clock::duration window = std::chrono::minutes(1), int capacity = 1000);

    // What to write now for this text: the summaries whose minute is over, then the text itself
    // unless it is held back.
    QStringList admit(const QString &text, Clock::time_point now);
    // The summaries whose minute is over; with all, every count still held.
    QStringList due(Clock::time_point now, bool all = false);

private:
    struct Kind {
        Clock::time_point since;
        int held = 0;
    };
    static QString summary(const QString &text, int held);

    Clock::duration fWindow;
    int fCapacity; // texts remembered at most; the oldest is let go first, its count written
    QHash<QString, Kind> fKinds;
    std::deque<std::pair<Clock::time_point, QString>> fOrder; // by the start of their minute
};

// Writes the counts of the lines held back on standard error and in the message log whose minute is
// over, or all of them (at the end).
void flushRepeatedLines(bool all = false);

// The echo path of LogMessage: with no view, writes "NSLog = <text>" to the console log.
void logMessageToCocoaView(void *view, const QString &text, bool flag);

} // namespace vesk
