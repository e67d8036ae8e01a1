#include "diag/MessageLog.h"

#include "base/Folders.h"
#include "diag/Console.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace vesk {

namespace {
// gLogThreadLock of the original: it serialises the writers and, through gLogOpen, tells them
// whether the log is open. CloseLog takes it too, so a late writer either completes its line or
// finds the log closed.
std::mutex gLogThreadLock;
RepeatedLines gLogRepeats; // under gLogThreadLock
bool gLogOpen = false;
int gLogFile = -1;
QString gLogPath;

void writeFully(int fd, const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return; // a failed write is dropped, like a stream in its failed state
        }
        p += n;
        left -= n;
    }
}
// Under gLogThreadLock.
void writeLines(const QStringList &texts)
{
    if (gLogFile < 0 || texts.isEmpty())
        return;
    const QString stamp = QStringLiteral("[") + MessageLog::asctimeField(std::time(nullptr)) + QStringLiteral("] ==> ");
    QString lines;
    for (const QString &text : texts)
        lines += stamp + text + QLatin1Char('\n');
    writeFully(gLogFile, lines.toUtf8());
}
} // namespace

RepeatedLines::RepeatedLines(Clock::duration window, int capacity)
    : fWindow(window)
    , fCapacity(capacity)
{ }

QString RepeatedLines::summary(const QString &text, int held)
{
    // Before the line ends that the text carries, so that the count stays on its line.
    qsizetype end = text.size();
    while (end > 0 && text.at(end - 1) == QLatin1Char('\n'))
        --end;
    const QString count = held == 1 ? QStringLiteral(" (repeated once in the last minute)")
                                    : QStringLiteral(" (repeated %1 times in the last minute)").arg(held);
    return text.left(end) + count + text.mid(end);
}

QStringList RepeatedLines::due(Clock::time_point now, bool all)
{
    QStringList out;
    while (!fOrder.empty()
        && (all || fOrder.front().first + fWindow <= now || static_cast<int>(fOrder.size()) > fCapacity)) {
        const QString text = std::move(fOrder.front().second);
        fOrder.pop_front();
        auto kind = fKinds.find(text);
        if (kind == fKinds.end())
            continue;
        if (kind->held > 0)
            out << summary(text, kind->held);
        // One that came again within its minute stays held back for another one.
        if (kind->held > 0 && !all && static_cast<int>(fOrder.size()) < fCapacity) {
            *kind = Kind { now, 0 };
            fOrder.emplace_back(now, text);
        } else {
            fKinds.erase(kind);
        }
    }
    return out;
}

QStringList RepeatedLines::admit(const QString &text, Clock::time_point now)
{
    QStringList out = due(now);
    const auto kind = fKinds.find(text);
    if (kind != fKinds.end()) {
        ++kind->held;
        return out;
    }
    fKinds.insert(text, Kind { now, 0 });
    fOrder.emplace_back(now, text);
    out << text;
    out += due(now); // over capacity: the oldest goes
    return out;
}

QString MessageLog::defaultPath()
{
    return paths::stateFolder() + QStringLiteral("/" VESK_DISPLAY_NAME "Log.txt");
}

QString MessageLog::previousPath()
{
    return paths::stateFolder() + QStringLiteral("/" VESK_DISPLAY_NAME "Log.previous.txt");
}

void MessageLog::InitLog()
{
    paths::makeFolder(paths::stateFolder(), 0700);
    const QString path = defaultPath();
    if (QFileInfo::exists(path)) {
        QFile::remove(previousPath());
        QFile::rename(path, previousPath());
    }
    InitLog(path);
}

void MessageLog::InitLog(const QString &path)
{
    std::lock_guard<std::mutex> guard(gLogThreadLock);
    if (gLogFile >= 0)
        ::close(gLogFile);
    const QByteArray native = QFile::encodeName(path);
    gLogFile = ::open(native.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (gLogFile < 0)
        consoleLog(QStringLiteral("Unable to open the message log [%1]: %2")
                       .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    gLogPath = path;
    gLogOpen = true;
    gLogRepeats = RepeatedLines();
}

QString MessageLog::asctimeField(time_t moment)
{
    struct tm broken { };
    localtime_r(&moment, &broken);
    char buffer[64] = {};
    asctime_r(&broken, buffer);
    QString text = QString::fromLatin1(buffer);
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    return text;
}

void MessageLog::LogMessage(const QString &text, bool echo)
{
    {
        std::unique_lock<std::mutex> guard(gLogThreadLock);
        if (!gLogOpen) {
            guard.unlock();
            consoleLog(QStringLiteral("Logfile may be closed already?????"));
        } else {
            writeLines(gLogRepeats.admit(text, RepeatedLines::Clock::now()));
        }
    }
    if (echo)
        logMessageToCocoaView(nullptr, text, false);
}

void MessageLog::LogMessage(const char *text, bool echo)
{
    LogMessage(QString::fromUtf8(text ? text : ""), echo);
}

void MessageLog::CloseLog()
{
    flushRepeatedLines(true);
    std::lock_guard<std::mutex> guard(gLogThreadLock);
    if (gLogFile >= 0) {
        ::fsync(gLogFile);
        ::close(gLogFile);
    }
    gLogFile = -1;
    gLogOpen = false;
}

bool MessageLog::isOpen()
{
    std::lock_guard<std::mutex> guard(gLogThreadLock);
    return gLogOpen;
}

QString MessageLog::currentPath()
{
    std::lock_guard<std::mutex> guard(gLogThreadLock);
    return gLogPath;
}

void flushRepeatedLines(bool all)
{
    flushRepeatedErrorLines(all);
    std::lock_guard<std::mutex> guard(gLogThreadLock);
    if (gLogOpen)
        writeLines(gLogRepeats.due(RepeatedLines::Clock::now(), all));
}

void logMessageToCocoaView(void *view, const QString &text, bool)
{
    if (!view)
        consoleLog(QStringLiteral("NSLog = %1").arg(text));
}

} // namespace vesk
