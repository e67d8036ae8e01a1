#pragma once
// The console log and the standard streams: the trace and detail lines that every subsystem writes.

#include <QString>

#include <QStringList>

#include <atomic>
#include <functional>

namespace vesk {

// The syslog priority of a line. Where standard output or standard error is the journal (see
// isJournalStream), every physical line written there starts with "<N>".
enum class LogPriority { Error = 3, Warning = 4, Notice = 5, Informational = 6, Debug = 7 };

// Whether the descriptor is the stream that $JOURNAL_STREAM names ("device:inode", as fstat gives
// them): the variable alone may have been inherited by a terminal. Asked once per descriptor.
bool isJournalStream(int fd);

// While it lives, the problem lines (those of priority Warning) that this thread writes take the
// given priority instead: the outcome handler knows whether a failure stopped the cycle.
class ProblemPriority {
public:
    explicit ProblemPriority(LogPriority priority);
    ~ProblemPriority();
    ProblemPriority(const ProblemPriority &) = delete;
    ProblemPriority &operator=(const ProblemPriority &) = delete;

private:
    int fSaved;
};

// While it lives, collects the console-log and myNSLog lines that this thread writes.
class ConsoleCapture {
public:
    ConsoleCapture();
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture &) = delete;
    ConsoleCapture &operator=(const ConsoleCapture &) = delete;
    const QStringList &lines() const { return fLines; }

private:
    friend void noteCaptured(const QString &line);
    ConsoleCapture *fOuter;
    QStringList fLines;
};

// One line on standard error, prefixed like the platform's console log:
// "2026-12-06 13:45:00.123 Vesk-FTPUploader[pid:tid] message". Any thread.
void consoleLog(const QString &message);

// The trace line "Inside <class> => <operation>..." that nearly every operation writes first.
void traceInside(const char *className, const char *operation);

// Writes the text unchanged to standard output / standard error (no line end added). Trace text
// unless a priority is given (the status lines are Informational, their problems Warning).
void myPrintf(const char *text, LogPriority priority = LogPriority::Debug);
void myPrintf(const QString &text, LogPriority priority = LogPriority::Debug);
void myPrintfDebug(const char *text);
void writeStandardError(const QString &text);

// Message to standard error and, as a time-stamped line, to the message log. A missing final
// line end is added, so the log file shows an empty line after it. Its priority is Notice, Debug
// for a trace line ("Inside ..."), unless one is given. In both places a message already written
// within the last minute is counted instead (see RepeatedLines in MessageLog.h).
void myNSLog(const QString &message);
void myNSLog(const QString &message, LogPriority priority);
// The counts of the messages held back on standard error whose minute is over, or all of them.
void flushRepeatedErrorLines(bool all = false);

extern std::atomic<bool> gDoShowDebug;

// Lets tests and the headless front end see what reaches the console log. The observer runs on
// the writing thread; it must be quick and thread-safe. Returns an id for removal.
int addConsoleObserver(std::function<void(const QString &)> observer);
void removeConsoleObserver(int id);

} // namespace vesk
