#include "files/FileOps.h"

#include "files/PathUtils.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vesk::fileops {

namespace {

int defaultRenameNoReplace(int fromFolder, const char *from, int toFolder, const char *to)
{
    return ::renameat2(fromFolder, from, toFolder, to, RENAME_NOREPLACE);
}

std::mutex gCallsLock;
SystemCalls gCalls { &defaultRenameNoReplace, &::write };

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

QString folderOf(const QString &path)
{
    const QString folder = pathutil::deletingLastPathComponent(path);
    return folder.isEmpty() ? QStringLiteral(".") : folder;
}

// Puts a finished item at a name where nothing is yet, within one file system. Where the file system
// does not know the no-replace rename, a hard link gives the same guarantee; only where neither
// exists does it fall back to a check followed by a rename.
int placeWithoutReplacing(
    const SystemCalls &calls, int fromFolder, const QByteArray &from, int toFolder, const QByteArray &to)
{
    if (calls.renameNoReplace(fromFolder, from.constData(), toFolder, to.constData()) == 0)
        return 0;
    const int renameError = errno;
    if (renameError != EINVAL && renameError != ENOSYS && renameError != ENOTSUP)
        return renameError;
    struct stat info { };
    if (::fstatat(fromFolder, from.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (!S_ISDIR(info.st_mode)) {
        if (::linkat(fromFolder, from.constData(), toFolder, to.constData(), 0) == 0) {
            ::unlinkat(fromFolder, from.constData(), 0);
            return 0;
        }
        if (errno == EEXIST || errno == EXDEV || errno == ENOENT)
            return errno;
    }
    if (::fstatat(toFolder, to.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        return EEXIST;
    return ::renameat(fromFolder, from.constData(), toFolder, to.constData()) == 0 ? 0 : errno;
}

bool writeAll(const SystemCalls &calls, int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t written = calls.write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// A hidden name in the folder, so that the scan and the purge pass over a copy in progress.
QByteArray temporaryName(const QByteArray &destName, const char *kind)
{
    return "." + destName.left(200) + ".vesk-" + kind
        + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
}

// Copies a regular file's bytes (read from in), permissions and times into a new temporary file in
// the destination folder and flushes it. Answers the temporary file's name, or errno.
int copyToTemporary(const SystemCalls &calls, int in, const struct stat &source, int destFolder,
    const QByteArray &destName, QByteArray *temporary, bool ownCopy)
{
    QByteArray name;
    int out = -1;
    for (int attempt = 0; out < 0 && attempt < 100; ++attempt) {
        name = temporaryName(destName, "");
        out = ::openat(destFolder, name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (out < 0 && errno != EEXIST)
            return errno;
    }
    if (out < 0)
        return EEXIST;
    int error = 0;
    std::vector<char> buffer(1 << 20);
    for (off_t offset = 0;;) {
        const ssize_t got = ::pread(in, buffer.data(), buffer.size(), offset);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        if (got == 0)
            break;
        offset += got;
        if (!writeAll(calls, out, buffer.data(), static_cast<size_t>(got))) {
            error = errno;
            break;
        }
    }
    if (error == 0) {
        if (::geteuid() == 0 && !ownCopy)
            (void)::fchown(out, source.st_uid, source.st_gid);
        (void)::fchmod(out, ownCopy ? source.st_mode & 0755 : source.st_mode & 07777);
        const struct timespec times[2] = { source.st_atim, source.st_mtim };
        (void)::futimens(out, times);
        if (::fsync(out) != 0)
            error = errno;
    }
    if (::close(out) != 0 && error == 0)
        error = errno;
    if (error != 0) {
        ::unlinkat(destFolder, name.constData(), 0);
        return error;
    }
    *temporary = name;
    return 0;
}

void syncFolder(int folder)
{
    // The folder may be an O_PATH descriptor, which cannot be flushed: a real one is opened from it.
    const int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    (void)::fsync(fd);
    ::close(fd);
}

// The move between two file systems: the source goes only once the copy is safely in place.
int moveAcrossFileSystems(const SystemCalls &calls, int fromFolder, const QByteArray &from, int toFolder,
    const QByteArray &to, int content, bool ownCopy)
{
    struct stat source { };
    if (::fstatat(fromFolder, from.constData(), &source, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;

    QByteArray temporary;
    if (S_ISREG(source.st_mode)) {
        struct stat given { };
        Descriptor opened;
        if (content < 0 || ::fstat(content, &given) != 0 || given.st_dev != source.st_dev
            || given.st_ino != source.st_ino) {
            opened = Descriptor(::openat(fromFolder, from.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            if (!opened)
                return errno;
            content = opened.get();
        }
        if (const int error = copyToTemporary(calls, content, source, toFolder, to, &temporary, ownCopy))
            return error;
    } else if (S_ISLNK(source.st_mode)) {
        std::vector<char> target(static_cast<size_t>(source.st_size > 0 ? source.st_size : PATH_MAX) + 1);
        const ssize_t length = ::readlinkat(fromFolder, from.constData(), target.data(), target.size() - 1);
        if (length < 0)
            return errno;
        target[static_cast<size_t>(length)] = '\0';
        temporary = temporaryName(to, "link-");
        if (::symlinkat(target.data(), toFolder, temporary.constData()) != 0)
            return errno;
    } else {
        return ENOTSUP;
    }

    if (const int error = placeWithoutReplacing(calls, toFolder, temporary, toFolder, to)) {
        ::unlinkat(toFolder, temporary.constData(), 0);
        return error;
    }
    syncFolder(toFolder);
    if (::unlinkat(fromFolder, from.constData(), 0) != 0) {
        // Two copies would bring the picture back on the next pass: keep the source only.
        const int error = errno;
        ::unlinkat(toFolder, to.constData(), 0);
        return error;
    }
    return 0;
}

bool isDotOrDotDot(const QByteArray &name)
{
    return name == "." || name == "..";
}

} // namespace

Descriptor::~Descriptor()
{
    if (fFd >= 0)
        ::close(fFd);
}

Descriptor &Descriptor::operator=(Descriptor &&other) noexcept
{
    if (this != &other) {
        if (fFd >= 0)
            ::close(fFd);
        fFd = std::exchange(other.fFd, -1);
    }
    return *this;
}

Descriptor openFolderBeneath(const QString &root, const QString &relative, bool create, Obstacle *obstacle)
{
    auto stop = [obstacle](const QString &where, int error, int folder, const QByteArray &name) {
        if (obstacle) {
            obstacle->relative = where;
            obstacle->error = error;
            struct stat info { };
            if (folder >= 0 && ::fstatat(folder, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0)
                obstacle->status = info;
        }
        errno = error;
        return Descriptor();
    };
    Descriptor folder(root.isEmpty() ? -1 : ::open(encoded(root).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder)
        return stop(QString(), root.isEmpty() ? ENOENT : errno, -1, {});
    QString done;
    for (const QString &part : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        done = done.isEmpty() ? part : done + QLatin1Char('/') + part;
        const QByteArray name = encoded(part);
        if (isDotOrDotDot(name))
            return stop(done, EINVAL, -1, {});
        if (create)
            (void)::mkdirat(folder.get(), name.constData(), kFolderMode);
        Descriptor next(::openat(folder.get(), name.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next)
            return stop(done, errno, folder.get(), name);
        folder = std::move(next);
    }
    return folder;
}

bool makeFoldersBeneath(const QString &root, const QString &relative)
{
    return makeFolderPath(root, true) && openFolderBeneath(root, relative, true);
}

namespace {
// The folder name of the folder parent, made first when it is not there, and opened without following
// a link.
Descriptor makeFolderAt(int parent, const QByteArray &name, Obstacle *obstacle)
{
    int error = name.isEmpty() || isDotOrDotDot(name) ? EINVAL : 0;
    if (error == 0 && ::mkdirat(parent, name.constData(), kFolderMode) != 0 && errno != EEXIST)
        error = errno;
    Descriptor folder(error ? -1 : ::openat(parent, name.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder && error == 0)
        error = errno;
    if (error != 0 && obstacle) {
        obstacle->error = error;
        struct stat info { };
        obstacle->status.reset();
        if (::fstatat(parent, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0)
            obstacle->status = info;
    }
    errno = error;
    return folder;
}

Descriptor makeNativeFolderPath(const QByteArray &path, int levels, Obstacle *obstacle)
{
    Descriptor existing(::open(path.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const int error = errno;
    const qsizetype slash = path.lastIndexOf('/');
    if (existing || error != ENOENT || levels == 0 || path == "/") {
        if (!existing && obstacle)
            *obstacle = Obstacle { QFile::decodeName(path), error, std::nullopt };
        return existing;
    }
    Descriptor parent = slash < 0
        ? Descriptor(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC))
        : makeNativeFolderPath(slash == 0 ? QByteArray("/") : path.left(slash), levels - 1, obstacle);
    if (!parent)
        return parent;
    Descriptor made = makeFolderAt(parent.get(), path.mid(slash + 1), obstacle);
    if (!made && obstacle)
        obstacle->relative = QFile::decodeName(path);
    return made;
}
} // namespace

Descriptor makeFolderPath(const QString &path, bool parents, Obstacle *obstacle)
{
    QByteArray native = encoded(path);
    while (native.size() > 1 && native.endsWith('/'))
        native.chop(1);
    if (native.isEmpty()) {
        if (obstacle)
            *obstacle = Obstacle { path, ENOENT, std::nullopt };
        errno = ENOENT;
        return Descriptor();
    }
    return makeNativeFolderPath(native, parents ? INT_MAX : 1, obstacle);
}

QString obstacleText(const Obstacle &obstacle)
{
    if (obstacle.status && S_ISLNK(obstacle.status->st_mode))
        return QStringLiteral("a symbolic link is in the way (links are never followed)");
    if (obstacle.status && !S_ISDIR(obstacle.status->st_mode))
        return QStringLiteral("a file is in the way");
    return QString::fromLocal8Bit(std::strerror(obstacle.error));
}

int moveAt(
    int fromFolder, const QByteArray &fromName, int toFolder, const QByteArray &toName, int content, bool ownCopy)
{
    if (fromName.isEmpty() || toName.isEmpty() || isDotOrDotDot(fromName) || isDotOrDotDot(toName))
        return ENOENT;
    const SystemCalls calls = systemCalls();
    struct stat info { };
    if (::fstatat(toFolder, toName.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        return EEXIST;
    int result = ownCopy ? EXDEV : placeWithoutReplacing(calls, fromFolder, fromName, toFolder, toName);
    if (result == EXDEV)
        result = moveAcrossFileSystems(calls, fromFolder, fromName, toFolder, toName, content, ownCopy);
    return result;
}

int removeFileAt(int folder, const QByteArray &name)
{
    if (name.isEmpty() || isDotOrDotDot(name))
        return EINVAL;
    // Without AT_REMOVEDIR a folder is refused (EISDIR), whatever it holds.
    return ::unlinkat(folder, name.constData(), 0) == 0 ? 0 : errno;
}

int removeEmptyFolderAt(int folder, const QByteArray &name)
{
    if (name.isEmpty() || isDotOrDotDot(name))
        return EINVAL;
    Descriptor inside(::openat(folder, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!inside)
        return errno;
    const int listFd = ::dup(inside.get());
    DIR *listing = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!listing) {
        const int error = errno;
        if (listFd >= 0)
            ::close(listFd);
        return error;
    }
    QList<QByteArray> names;
    while (const dirent *entry = ::readdir(listing)) {
        const QByteArray entryName(entry->d_name);
        if (!isDotOrDotDot(entryName))
            names.append(entryName);
    }
    ::closedir(listing);
    if (names.size() > 1 || (names.size() == 1 && names.first() != ".DS_Store"))
        return ENOTEMPTY;
    if (!names.isEmpty() && ::unlinkat(inside.get(), ".DS_Store", 0) != 0)
        return errno == EISDIR ? ENOTEMPTY : errno; // a folder of that name is no metadata file
    return ::unlinkat(folder, name.constData(), AT_REMOVEDIR) == 0 ? 0 : errno;
}

SystemCalls defaultSystemCalls()
{
    return SystemCalls { &defaultRenameNoReplace, &::write };
}

SystemCalls systemCalls()
{
    std::lock_guard<std::mutex> guard(gCallsLock);
    return gCalls;
}

SystemCalls setSystemCallsForTesting(const SystemCalls &calls)
{
    std::lock_guard<std::mutex> guard(gCallsLock);
    const SystemCalls previous = gCalls;
    gCalls = calls;
    return previous;
}

bool fileExists(const QString &path, bool *isDirectory)
{
    if (isDirectory)
        *isDirectory = false;
    if (path.isEmpty())
        return false;
    struct stat info { };
    if (::stat(encoded(path).constData(), &info) != 0)
        return false;
    if (isDirectory)
        *isDirectory = S_ISDIR(info.st_mode);
    return true;
}

bool itemExistsAtPath(const QString &path)
{
    struct stat info { };
    return !path.isEmpty() && ::lstat(encoded(path).constData(), &info) == 0;
}

bool isRegularFile(const QString &path)
{
    struct stat info { };
    return !path.isEmpty() && ::stat(encoded(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

bool isRealDirectory(const QString &path)
{
    struct stat info { };
    return !path.isEmpty() && ::lstat(encoded(path).constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool movePath(const QString &from, const QString &to, int *error)
{
    int result = ENOENT;
    if (!from.isEmpty() && !to.isEmpty()) {
        const Descriptor fromFolder(::open(encoded(folderOf(from)).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        const Descriptor toFolder(::open(encoded(folderOf(to)).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!fromFolder || !toFolder)
            result = errno;
        else
            result = moveAt(fromFolder.get(), encoded(pathutil::lastPathComponent(from)), toFolder.get(),
                encoded(pathutil::lastPathComponent(to)));
    }
    if (error)
        *error = result;
    return result == 0;
}

std::optional<QStringList> contentsOfDirectory(const QString &path, int *error)
{
    if (error)
        *error = 0;
    DIR *folder = path.isEmpty() ? nullptr : ::opendir(encoded(path).constData());
    if (!folder) {
        if (error)
            *error = path.isEmpty() ? ENOENT : errno;
        return std::nullopt;
    }
    QStringList names;
    errno = 0;
    while (const dirent *entry = ::readdir(folder)) {
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        names.append(QFile::decodeName(name));
    }
    const int readError = errno;
    ::closedir(folder);
    if (readError != 0) {
        if (error)
            *error = readError;
        return std::nullopt;
    }
    return names;
}

bool isDeletableFileAtPath(const QString &path)
{
    if (path.isEmpty())
        return false;
    const QByteArray folder = encoded(folderOf(path));
    if (::access(folder.constData(), W_OK | X_OK) != 0)
        return false;
    struct stat folderInfo { };
    if (::stat(folder.constData(), &folderInfo) != 0)
        return false;
    if (!(folderInfo.st_mode & S_ISVTX))
        return true;
    const uid_t user = ::geteuid();
    if (user == 0 || folderInfo.st_uid == user)
        return true;
    struct stat itemInfo { };
    return ::lstat(encoded(path).constData(), &itemInfo) == 0 && itemInfo.st_uid == user;
}

} // namespace vesk::fileops
