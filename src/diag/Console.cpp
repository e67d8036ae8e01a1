#include "diag/Console.h"

#include "diag/MessageLog.h"

#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <sys/syscall.h>
#include <unistd.h>

namespace vesk {

std::atomic<bool> gDoShowDebug { true };

namespace {
std::mutex gObserverLock;
std::map<int, std::function<void(const QString &)>> gObservers;
int gNextObserverId = 1;
std::atomic<bool> gHaveObservers { false };

void notifyObservers(const QString &message)
{
    if (!gHaveObservers.load(std::memory_order_relaxed))
        return;
    std::lock_guard<std::mutex> guard(gObserverLock);
    for (auto &[id, observer] : gObservers)
        observer(message);
}

void writeAll(int fd, const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        p += n;
        left -= n;
    }
}
} // namespace

void consoleLog(const QString &message)
{
    // Formatted by hand: this runs for nearly every operation, and the general date formatter costs
    // more than everything else a trace line does.
    struct timespec now { };
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct tm local { };
    ::localtime_r(&now.tv_sec, &local);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", local.tm_year + 1900, local.tm_mon + 1,
        local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, now.tv_nsec / 1000000);
    QByteArray line;
    line.reserve(message.size() * 3 + 80);
    line += stamp;
    line += " " VESK_DISPLAY_NAME "[";
    // Both ids are asked of the kernel once (per process, per thread), not for every line.
    static const qint64 processId = ::getpid();
    thread_local const qint64 threadId = ::syscall(SYS_gettid);
    line += QByteArray::number(processId);
    line += ':';
    line += QByteArray::number(threadId);
    line += "] ";
    line += message.toUtf8();
    if (!line.endsWith('\n'))
        line += '\n';
    writeAll(STDERR_FILENO, line); // one write per line, so lines of different threads never mix
    notifyObservers(message);
}

void traceInside(const char *className, const char *operation)
{
    consoleLog(QStringLiteral("Inside %1 => %2...").arg(QLatin1String(className), QLatin1String(operation)));
}

void myPrintf(const char *text)
{
    if (!text)
        return;
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void myPrintf(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    myPrintf(bytes.constData());
}

void myPrintfDebug(const char *text)
{
    if (gDoShowDebug.load())
        myPrintf(text);
}

void writeStandardError(const QString &text)
{
    writeAll(STDERR_FILENO, text.toUtf8());
}

void myNSLog(const QString &message)
{
    QString text = message;
    if (!text.endsWith(QLatin1Char('\n')))
        text += QLatin1Char('\n');
    writeStandardError(text);
    MessageLog::LogMessage(text);
}

int addConsoleObserver(std::function<void(const QString &)> observer)
{
    std::lock_guard<std::mutex> guard(gObserverLock);
    const int id = gNextObserverId++;
    gObservers.emplace(id, std::move(observer));
    gHaveObservers = true;
    return id;
}

void removeConsoleObserver(int id)
{
    std::lock_guard<std::mutex> guard(gObserverLock);
    gObservers.erase(id);
    gHaveObservers = !gObservers.empty();
}

} // namespace vesk
