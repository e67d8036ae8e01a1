#pragma once
// The message log file: one file per run with one time-stamped line per entry, safe to write from
// any thread. Closed until InitLog, and again after CloseLog.

#include <QString>

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

// The echo path of LogMessage: with no view, writes "NSLog = <text>" to the console log.
void logMessageToCocoaView(void *view, const QString &text, bool flag);

} // namespace vesk
