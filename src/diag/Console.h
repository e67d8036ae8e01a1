#pragma once
// The console log and the standard streams: the trace and detail lines that every subsystem writes.

#include <QString>

#include <atomic>
#include <functional>

namespace vesk {

// One line on standard error, prefixed like the platform's console log:
// "2026-12-06 13:45:00.123 Vesk-FTPUploader[pid:tid] message". Any thread.
void consoleLog(const QString &message);

// The trace line "Inside <class> => <operation>..." that nearly every operation writes first.
void traceInside(const char *className, const char *operation);

// Writes the text unchanged to standard output / standard error (no line end added).
void myPrintf(const char *text);
void myPrintf(const QString &text);
void myPrintfDebug(const char *text);
void writeStandardError(const QString &text);

// Message to standard error and, as a time-stamped line, to the message log. A missing final
// line end is added, so the log file shows an empty line after it.
void myNSLog(const QString &message);

extern std::atomic<bool> gDoShowDebug;

// Lets tests and the headless front end see what reaches the console log. The observer runs on
// the writing thread; it must be quick and thread-safe. Returns an id for removal.
int addConsoleObserver(std::function<void(const QString &)> observer);
void removeConsoleObserver(int id);

} // namespace vesk
