#include "base/Folders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk::paths {

namespace {
QString fromEnv(const char *name)
{
    const QByteArray value = qgetenv(name);
    if (value.isEmpty())
        return {};
    const QString path = QString::fromLocal8Bit(value);
    return QDir::isAbsolutePath(path) ? path : QString(); // relative XDG values are to be ignored
}

QString appFolderIn(const QString &base)
{
    return base + QLatin1Char('/') + QLatin1String(kAppFolderName);
}

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Whether the folder holds the file, executable, with exactly these bytes. Links are not followed.
bool holdsCopy(int folder, const QByteArray &name, const QByteArray &content)
{
    const int fd = ::openat(folder, name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    QFile copy;
    struct stat info { };
    const bool executable = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & S_IXUSR);
    copy.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    return executable && copy.readAll() == content;
}

// Writes the file under a new temporary name, then renames it into place: a link in the way is
// replaced, never followed.
bool writeCopy(int folder, const QByteArray &name, const QByteArray &content)
{
    static std::atomic<unsigned> serial = 0; // threads may look for the same program at once
    const QByteArray temporary
        = '.' + name + ".new-" + QByteArray::number(::getpid()) + '-' + QByteArray::number(serial++);
    ::unlinkat(folder, temporary.constData(), 0);
    const int fd = ::openat(folder, temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
    if (fd < 0)
        return false;
    QFile file;
    file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle);
    const bool written = file.write(content) == content.size() && file.flush();
    file.close();
    if (written && ::renameat(folder, temporary.constData(), folder, name.constData()) == 0)
        return true;
    ::unlinkat(folder, temporary.constData(), 0);
    return false;
}
} // namespace

QString homeFolder()
{
    return QDir::homePath();
}

QString configFolder()
{
    QString base = fromEnv("XDG_CONFIG_HOME");
    if (base.isEmpty())
        base = homeFolder() + QStringLiteral("/.config");
    return appFolderIn(base);
}

QString stateFolder()
{
    QString base = fromEnv("XDG_STATE_HOME");
    if (base.isEmpty())
        base = homeFolder() + QStringLiteral("/.local/state");
    return appFolderIn(base);
}

QString runtimeFolder()
{
    const QString base = fromEnv("XDG_RUNTIME_DIR");
    if (base.isEmpty())
        return stateFolder() + QStringLiteral("/run");
    return appFolderIn(base);
}

QString applicationFilePath()
{
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

QString auxiliaryExecutable(const QString &name)
{
    const QString appDir = QFileInfo(applicationFilePath()).absolutePath();
    const QString overrideDir = qEnvironmentVariable("VESK_LIBEXEC_DIR");
    const QString candidates[] = {
        overrideDir.isEmpty() ? QString() : overrideDir + QLatin1Char('/') + name,
        appDir + QLatin1Char('/') + name,
        QDir::cleanPath(appDir + QStringLiteral("/../libexec/vesk-ftpuploader/") + name),
    };
    for (const QString &candidate : candidates) {
        if (candidate.isEmpty())
            continue;
        QFileInfo info(candidate);
        if (info.isFile() && info.isExecutable())
            return candidate;
    }
    // Scripts are also compiled into the program: run a private copy of the built-in one.
    QFile builtIn(QStringLiteral(":/libexec/") + name);
    if (!builtIn.open(QIODevice::ReadOnly))
        return {};
    const QByteArray content = builtIn.readAll();
    // Only into a folder of our own that nobody else can write.
    const QString folder = runtimeFolder() + QStringLiteral("/libexec");
    if (!privateFolderProblem(runtimeFolder(), true).isEmpty())
        return {};
    const int fd = openPrivateFolder(folder, true, nullptr);
    if (fd < 0)
        return {};
    const QByteArray nativeName = QFile::encodeName(name);
    const bool ready = holdsCopy(fd, nativeName, content) || writeCopy(fd, nativeName, content);
    ::close(fd);
    return ready ? folder + QLatin1Char('/') + name : QString();
}

bool makeFolder(const QString &path, unsigned mode)
{
    QFileInfo info(path);
    if (info.isDir())
        return true;
    const QString parent = info.absolutePath();
    if (parent != path && !QFileInfo(parent).isDir() && !QDir().mkpath(parent))
        return false;
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), mode) != 0 && errno != EEXIST)
        return false;
    return QFileInfo(path).isDir();
}

int openPrivateFolder(const QString &path, bool make, QString *problem)
{
    auto refuse = [problem](const QString &why) {
        if (problem)
            *problem = why;
        return -1;
    };
    const QByteArray native = QFile::encodeName(path);
    if (make) {
        const QString parent = QFileInfo(path).absolutePath();
        if (!makeFolder(parent, 0700))
            return refuse(QStringLiteral("cannot make the folder %1").arg(parent));
        if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
            return refuse(QStringLiteral("cannot make the folder %1: %2").arg(path, errorText(errno)));
    }
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ELOOP || error == ENOTDIR)
            return refuse(QStringLiteral("%1 is not a folder (a link or a file stands there)").arg(path));
        return refuse(QStringLiteral("%1: %2").arg(path, errorText(error)));
    }
    struct stat info { };
    QString why;
    if (::fstat(fd, &info) != 0)
        why = QStringLiteral("%1: %2").arg(path, errorText(errno));
    else if (info.st_uid != ::geteuid())
        why = QStringLiteral("%1 belongs to another user (user id %2)").arg(path).arg(info.st_uid);
    else if ((info.st_mode & 07777) != 0700)
        why = QStringLiteral("%1 has mode %2, not 0700 (only its owner may enter it)")
                  .arg(path, QString::number(info.st_mode & 07777, 8).rightJustified(4, QLatin1Char('0')));
    if (why.isEmpty())
        return fd;
    ::close(fd);
    return refuse(why);
}

QString privateFolderProblem(const QString &path, bool make)
{
    QString problem;
    const int fd = openPrivateFolder(path, make, &problem);
    if (fd >= 0)
        ::close(fd);
    return problem;
}

} // namespace vesk::paths
