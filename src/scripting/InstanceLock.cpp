#include "scripting/InstanceLock.h"

#include "base/Folders.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace vesk {

InstanceLock::InstanceLock(const QString &lockFile)
{
    fError = paths::privateFolderProblem(QFileInfo(lockFile).absolutePath(), true);
    if (!fError.isEmpty())
        return;
    // Close-on-exec: a program we start (the relaunch helper) must not keep the lock alive.
    const QByteArray native = QFile::encodeName(lockFile);
    fFd = ::open(native.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fFd < 0) {
        fError = QStringLiteral("%1: %2").arg(lockFile, QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    int rc;
    do {
        rc = ::flock(fFd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        if (errno == EWOULDBLOCK) {
            fState = State::HeldByOther;
            char text[32] = {};
            const ssize_t n = ::pread(fFd, text, sizeof text - 1, 0);
            if (n > 0)
                fHolderPid = std::strtoll(text, nullptr, 10);
        } else {
            fError = QStringLiteral("%1: %2").arg(lockFile, QString::fromLocal8Bit(std::strerror(errno)));
        }
        ::close(fFd);
        fFd = -1;
        return;
    }
    fState = State::Held;
    fHolderPid = ::getpid();
    const QByteArray pid = QByteArray::number(fHolderPid) + '\n';
    // Should this fail, the lock holds all the same; a second launch just cannot name the process.
    if (::ftruncate(fFd, 0) != 0 || ::pwrite(fFd, pid.constData(), static_cast<size_t>(pid.size()), 0) != pid.size())
        fError = QStringLiteral("the process id could not be recorded in %1").arg(lockFile);
}

InstanceLock::~InstanceLock()
{
    if (fFd >= 0)
        ::close(fFd);
}

} // namespace vesk
