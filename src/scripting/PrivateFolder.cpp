#include "scripting/PrivateFolder.h"

#include "app/Paths.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk {

namespace {
bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}
} // namespace

bool makePrivateFolder(const QString &folder, QString *error)
{
    if (!paths::makeFolder(folder, 0700))
        return fail(error, QStringLiteral("cannot make the folder %1").arg(folder));
    const QByteArray native = QFile::encodeName(folder);
    struct stat info { };
    if (::lstat(native.constData(), &info) != 0)
        return fail(error, QStringLiteral("%1: %2").arg(folder, QString::fromLocal8Bit(std::strerror(errno))));
    if (!S_ISDIR(info.st_mode))
        return fail(error, QStringLiteral("%1 is not a folder").arg(folder));
    // In /tmp anyone could have made it first: only our own folder will do.
    if (info.st_uid != ::geteuid())
        return fail(error, QStringLiteral("%1 belongs to another user").arg(folder));
    if ((info.st_mode & 07777) != 0700 && ::chmod(native.constData(), 0700) != 0)
        return fail(error,
            QStringLiteral("cannot restrict %1 to its owner: %2")
                .arg(folder, QString::fromLocal8Bit(std::strerror(errno))));
    return true;
}

} // namespace vesk
