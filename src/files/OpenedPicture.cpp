#include "files/OpenedPicture.h"

#include "files/PathUtils.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace vesk {

namespace {
void registerDescription()
{
    static std::once_flag once;
    std::call_once(once, [] {
        QMetaType::registerConverter<OpenedPictureRef, QString>(
            [](const OpenedPictureRef &picture) { return picture ? picture->describe() : QString(); });
    });
}
} // namespace

OpenedPicture::Opening OpenedPicture::open(const QString &root, const QString &relative)
{
    registerDescription();
    Opening opening;
    const QString folderPart = pathutil::deletingLastPathComponent(relative);
    auto fail = [&opening](Failure failure, int error, const QString &where, int folder, const QByteArray &name) {
        opening.failure = failure;
        opening.error = error;
        opening.obstacle = where;
        struct stat info { };
        if (folder >= 0
            && ::fstatat(folder, name.isEmpty() ? "" : name.constData(), &info,
                   AT_SYMLINK_NOFOLLOW | (name.isEmpty() ? AT_EMPTY_PATH : 0))
                == 0)
            opening.obstacleStatus = info;
        return opening;
    };

    fileops::Obstacle obstacle;
    fileops::Descriptor folder = fileops::openFolderBeneath(root, folderPart, false, &obstacle);
    if (!folder) {
        opening.obstacle = obstacle.relative;
        opening.obstacleStatus = obstacle.status;
        opening.error = obstacle.error;
        opening.failure = obstacle.error == ENOENT ? Failure::Gone
            : obstacle.error == ELOOP || obstacle.error == ENOTDIR
            ? (obstacle.status && S_ISLNK(obstacle.status->st_mode) ? Failure::Link : Failure::NotAFile)
            : Failure::Unreachable;
        return opening;
    }

    auto picture = std::shared_ptr<OpenedPicture>(new OpenedPicture);
    picture->fName = QFile::encodeName(pathutil::lastPathComponent(relative));
    const char *name = picture->fName.constData();
    // O_NONBLOCK: a pipe swapped in must not block the open; O_NOFOLLOW: a link is never followed.
    picture->fFd = ::openat(folder.get(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (picture->fFd < 0) {
        const int error = errno;
        if (error == ENOENT)
            return fail(Failure::Gone, error, relative, -1, {});
        if (error == EWOULDBLOCK)
            return fail(Failure::Busy, error, relative, -1, {});
        struct stat info { };
        if (::fstatat(folder.get(), name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            // Listed but not reachable: its folder cannot be searched.
            return fail(errno == ENOENT ? Failure::Gone : Failure::Unreachable, errno, folderPart, folder.get(), {});
        }
        if (S_ISLNK(info.st_mode))
            return fail(Failure::Link, ELOOP, relative, folder.get(), picture->fName);
        if (!S_ISREG(info.st_mode))
            return fail(Failure::NotAFile, error, relative, folder.get(), picture->fName);
        picture->fReadError = error;
        picture->fStatus = info;
    } else if (::fstat(picture->fFd, &picture->fStatus) != 0 || !S_ISREG(picture->fStatus.st_mode)) {
        return fail(Failure::NotAFile, EINVAL, relative, folder.get(), picture->fName);
    }
    picture->fFolder = std::move(folder);
    opening.picture = std::move(picture);
    return opening;
}

OpenedPicture::~OpenedPicture()
{
    if (fFd >= 0)
        ::close(fFd);
}

QString OpenedPicture::readPath() const
{
    return fFd >= 0 ? QStringLiteral("/proc/self/fd/%1").arg(fFd) : QString();
}

bool OpenedPicture::isStillNamed() const
{
    struct stat now { };
    return ::fstatat(fFolder.get(), fName.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == fStatus.st_dev
        && now.st_ino == fStatus.st_ino;
}

bool OpenedPicture::isUnchanged() const
{
    struct stat now { };
    return isStillNamed() && ::fstatat(fFolder.get(), fName.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0
        && now.st_size == fStatus.st_size && now.st_ctim.tv_sec == fStatus.st_ctim.tv_sec
        && now.st_ctim.tv_nsec == fStatus.st_ctim.tv_nsec;
}

QString OpenedPicture::describe() const
{
    return QStringLiteral("<open picture %1: device %2, inode %3>")
        .arg(QFile::decodeName(fName))
        .arg(static_cast<qulonglong>(fStatus.st_dev))
        .arg(static_cast<qulonglong>(fStatus.st_ino));
}

} // namespace vesk
