#include "diag/Console.h"

#include "diag/MessageLog.h"

#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <sys/stat.h>
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

thread_local int tProblemPriority = 0;
thread_local ConsoleCapture *tCapture = nullptr;

void writeRaw(int fd, const QByteArray &bytes)
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

// Where a stream is the journal, whether the next byte written to it begins a line. Writes to a
// journal stream serialise on the lock, so that a line's prefix and its text stay together.
struct JournalStream {
    std::mutex lock;
    bool atLineStart = true;
};
JournalStream gJournal[3];

LogPriority effective(LogPriority priority)
{
    return priority == LogPriority::Warning && tProblemPriority != 0 ? static_cast<LogPriority>(tProblemPriority)
                                                                     : priority;
}

QByteArray withPrefixes(const QByteArray &text, LogPriority priority, bool &atLineStart)
{
    const char prefix[] = { '<', char('0' + static_cast<int>(priority)), '>' };
    QByteArray out;
    out.reserve(text.size() + 16);
    for (const char c : text) {
        if (atLineStart)
            out.append(prefix, sizeof prefix);
        out += c;
        atLineStart = c == '\n';
    }
    return out;
}

// Writes to standard output (through stdio, as the status lines always went) or standard error.
void writeStream(int fd, const QByteArray &bytes, LogPriority priority)
{
    auto put = [fd](const QByteArray &data) {
        if (fd == STDOUT_FILENO) {
            std::fwrite(data.constData(), 1, static_cast<size_t>(data.size()), stdout);
            std::fflush(stdout);
        } else {
            writeRaw(fd, data);
        }
    };
    if (!isJournalStream(fd)) {
        put(bytes);
        return;
    }
    JournalStream &stream = gJournal[fd];
    std::lock_guard<std::mutex> guard(stream.lock);
    put(withPrefixes(bytes, effective(priority), stream.atLineStart));
}

void writeAll(int fd, const QByteArray &bytes)
{
    writeStream(fd, bytes, LogPriority::Debug);
}
} // namespace

bool isJournalStream(int fd)
{
    static const auto matches = [](int descriptor) {
        const QByteArray named = qgetenv("JOURNAL_STREAM");
        const qsizetype colon = named.indexOf(':');
        if (colon <= 0)
            return false;
        bool deviceOk = false;
        bool inodeOk = false;
        const qulonglong device = named.left(colon).toULongLong(&deviceOk);
        const qulonglong inode = named.mid(colon + 1).toULongLong(&inodeOk);
        struct stat info { };
        return deviceOk && inodeOk && ::fstat(descriptor, &info) == 0 && qulonglong(info.st_dev) == device
            && qulonglong(info.st_ino) == inode;
    };
    static const bool out = matches(STDOUT_FILENO);
    static const bool err = matches(STDERR_FILENO);
    return fd == STDOUT_FILENO ? out : fd == STDERR_FILENO ? err : false;
}

ProblemPriority::ProblemPriority(LogPriority priority)
    : fSaved(tProblemPriority)
{
    tProblemPriority = static_cast<int>(priority);
}

ProblemPriority::~ProblemPriority()
{
    tProblemPriority = fSaved;
}

ConsoleCapture::ConsoleCapture()
    : fOuter(tCapture)
{
    tCapture = this;
}

ConsoleCapture::~ConsoleCapture()
{
    tCapture = fOuter;
}

void noteCaptured(const QString &line)
{
    if (tCapture)
        tCapture->fLines.append(line);
}

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
    noteCaptured(message);
}

void traceInside(const char *className, const char *operation)
{
    consoleLog(QStringLiteral("Inside %1 => %2...").arg(QLatin1String(className), QLatin1String(operation)));
}

void myPrintf(const char *text, LogPriority priority)
{
    if (!text)
        return;
    writeStream(STDOUT_FILENO, QByteArray(text), priority);
}

void myPrintf(const QString &text, LogPriority priority)
{
    writeStream(STDOUT_FILENO, text.toUtf8(), priority);
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
    myNSLog(message, message.startsWith(QLatin1String("Inside ")) ? LogPriority::Debug : LogPriority::Notice);
}

namespace {
std::mutex gErrorRepeatsLock;
RepeatedLines gErrorRepeats; // under gErrorRepeatsLock

void writeErrorLines(const QStringList &texts, LogPriority priority)
{
    QByteArray bytes;
    for (const QString &text : texts)
        bytes += text.toUtf8();
    if (!bytes.isEmpty())
        writeStream(STDERR_FILENO, bytes, priority);
}
} // namespace

void myNSLog(const QString &message, LogPriority priority)
{
    QString text = message;
    if (!text.endsWith(QLatin1Char('\n')))
        text += QLatin1Char('\n');
    {
        std::lock_guard<std::mutex> guard(gErrorRepeatsLock);
        writeErrorLines(gErrorRepeats.admit(text, RepeatedLines::Clock::now()), priority);
    }
    noteCaptured(message);
    MessageLog::LogMessage(text);
}

void flushRepeatedErrorLines(bool all)
{
    std::lock_guard<std::mutex> guard(gErrorRepeatsLock);
    writeErrorLines(gErrorRepeats.due(RepeatedLines::Clock::now(), all), LogPriority::Notice);
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
