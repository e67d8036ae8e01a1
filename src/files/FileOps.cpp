#include "files/FileOps.h"

#include "files/PathUtils.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vesk::fileops {

namespace {

int defaultRenameNoReplace(const char *from, const char *to)
{
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
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
int placeWithoutReplacing(const SystemCalls &calls, const QByteArray &from, const QByteArray &to)
{
    if (calls.renameNoReplace(from.constData(), to.constData()) == 0)
        return 0;
    const int renameError = errno;
    if (renameError != EINVAL && renameError != ENOSYS && renameError != ENOTSUP)
        return renameError;
    struct stat info { };
    if (::lstat(from.constData(), &info) != 0)
        return errno;
    if (!S_ISDIR(info.st_mode)) {
        if (::link(from.constData(), to.constData()) == 0) {
            ::unlink(from.constData());
            return 0;
        }
        if (errno == EEXIST || errno == EXDEV || errno == ENOENT)
            return errno;
    }
    if (::lstat(to.constData(), &info) == 0)
        return EEXIST;
    return ::rename(from.constData(), to.constData()) == 0 ? 0 : errno;
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

// Copies a regular file's bytes, permissions and times into a new temporary file in the destination
// folder and flushes it. Answers the temporary file's name, or errno.
int copyToTemporary(const SystemCalls &calls, const QByteArray &from, const struct stat &source,
    const QByteArray &destFolder, const QByteArray &destName, QByteArray *temporary)
{
    const int in = ::open(from.constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return errno;
    // A hidden name, so that the scan and the purge pass over a copy in progress.
    QByteArray pattern = destFolder + "/." + destName.left(200) + ".vesk-XXXXXX";
    const int out = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        return error;
    }
    int error = 0;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        if (got == 0)
            break;
        if (!writeAll(calls, out, buffer.data(), static_cast<size_t>(got))) {
            error = errno;
            break;
        }
    }
    if (error == 0) {
        if (::geteuid() == 0)
            (void)::fchown(out, source.st_uid, source.st_gid);
        (void)::fchmod(out, source.st_mode & 07777);
        const struct timespec times[2] = { source.st_atim, source.st_mtim };
        (void)::futimens(out, times);
        if (::fsync(out) != 0)
            error = errno;
    }
    ::close(in);
    if (::close(out) != 0 && error == 0)
        error = errno;
    if (error != 0) {
        ::unlink(pattern.constData());
        return error;
    }
    *temporary = pattern;
    return 0;
}

void syncFolder(const QByteArray &folder)
{
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    (void)::fsync(fd);
    ::close(fd);
}

// The move between two file systems: the source goes only once the copy is safely in place.
int moveAcrossFileSystems(const SystemCalls &calls, const QString &fromPath, const QString &toPath)
{
    const QByteArray from = encoded(fromPath);
    const QByteArray to = encoded(toPath);
    struct stat source { };
    if (::lstat(from.constData(), &source) != 0)
        return errno;
    const QByteArray destFolder = encoded(folderOf(toPath));
    const QByteArray destName = encoded(pathutil::lastPathComponent(toPath));

    QByteArray temporary;
    if (S_ISREG(source.st_mode)) {
        if (const int error = copyToTemporary(calls, from, source, destFolder, destName, &temporary))
            return error;
    } else if (S_ISLNK(source.st_mode)) {
        std::vector<char> target(static_cast<size_t>(source.st_size > 0 ? source.st_size : PATH_MAX) + 1);
        const ssize_t length = ::readlink(from.constData(), target.data(), target.size() - 1);
        if (length < 0)
            return errno;
        target[static_cast<size_t>(length)] = '\0';
        temporary = destFolder + "/." + destName.left(200) + ".vesk-link-" + QByteArray::number(::getpid()) + '-'
            + QByteArray::number(static_cast<qulonglong>(source.st_ino));
        if (::symlink(target.data(), temporary.constData()) != 0)
            return errno;
    } else {
        return ENOTSUP;
    }

    if (const int error = placeWithoutReplacing(calls, temporary, to)) {
        ::unlink(temporary.constData());
        return error;
    }
    syncFolder(destFolder);
    if (::unlink(from.constData()) != 0) {
        // Two copies would bring the picture back on the next pass: keep the source only.
        const int error = errno;
        ::unlink(to.constData());
        return error;
    }
    return 0;
}

} // namespace

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

bool createDirectory(const QString &path)
{
    return !path.isEmpty() && ::mkdir(encoded(path).constData(), 0777) == 0;
}

bool removeItem(const QString &path)
{
    if (path.isEmpty())
        return false;
    std::error_code error;
    const std::filesystem::path target(encoded(path).toStdString());
    if (!std::filesystem::exists(std::filesystem::symlink_status(target, error)))
        return false;
    std::filesystem::remove_all(target, error);
    return !error;
}

bool movePath(const QString &from, const QString &to, int *error)
{
    int result = 0;
    if (from.isEmpty() || to.isEmpty()) {
        result = ENOENT;
    } else {
        const SystemCalls calls = systemCalls();
        const QByteArray source = encoded(from);
        const QByteArray destination = encoded(to);
        struct stat info { };
        if (::lstat(destination.constData(), &info) == 0)
            result = EEXIST;
        else
            result = placeWithoutReplacing(calls, source, destination);
        if (result == EXDEV)
            result = moveAcrossFileSystems(calls, from, to);
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
