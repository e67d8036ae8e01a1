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
} // namespace

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
            const QString line = QStringLiteral("[") + asctimeField(std::time(nullptr)) + QStringLiteral("] ==> ")
                + text + QLatin1Char('\n');
            if (gLogFile >= 0)
                writeFully(gLogFile, line.toUtf8());
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

void logMessageToCocoaView(void *view, const QString &text, bool)
{
    if (!view)
        consoleLog(QStringLiteral("NSLog = %1").arg(text));
}

} // namespace vesk
