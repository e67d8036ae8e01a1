#pragma once
// The file operations the housekeeping relies on: existence, folder creation, removal,
// the move that never replaces, listing and the deletability test. The operations on folder
// descriptors never follow a symbolic link below the folder they start from, so a folder swapped for
// a link cannot make them act outside the folders the program owns. Free functions, any thread.
// System calls that are hard to make fail on purpose go through a replaceable table so that tests
// can inject the failure.

#include <QString>
#include <QStringList>

#include <optional>
#include <sys/stat.h>
#include <sys/types.h>
#include <utility>

namespace vesk::fileops {

// Whether something exists at the path, a symbolic link followed to its target; *isDirectory tells
// whether that is a folder. A dangling link does not exist.
bool fileExists(const QString &path, bool *isDirectory = nullptr);

// Whether anything is at the path itself, a dangling symbolic link included.
bool itemExistsAtPath(const QString &path);

// True for a regular file, a symbolic link followed (never for a pipe or a device, whose reading
// could block).
bool isRegularFile(const QString &path);

// True for a folder itself, not for a symbolic link to one.
bool isRealDirectory(const QString &path);

// Moves a file or link to a path where nothing is yet. Never replaces what is there. Within one file
// system it is a rename; across file systems the item is copied into a temporary file beside the
// destination, flushed to disk, put in place and only then is the source removed, so a failure at any
// step leaves the source as it was and nothing under the destination name. *error gets errno.
bool movePath(const QString &from, const QString &to, int *error = nullptr);

// An open descriptor, closed with the object. Move-only.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd)
        : fFd(fd)
    { }
    ~Descriptor();
    Descriptor(Descriptor &&other) noexcept
        : fFd(std::exchange(other.fFd, -1))
    { }
    Descriptor &operator=(Descriptor &&other) noexcept;
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fFd; }
    int release() { return std::exchange(fFd, -1); }
    explicit operator bool() const { return fFd >= 0; }

private:
    int fFd = -1;
};

// What stopped a walk down a folder path: the level (relative to where the walk began) that could
// not be passed, errno, and that entry's own status when it could be read.
struct Obstacle {
    QString relative;
    int error = 0;
    std::optional<struct stat> status;
};

// The folder at relative below root, reached one level at a time without following a symbolic link
// below root (links in root's own path are followed). The descriptor is an O_PATH one: it serves as
// the folder of *at() calls. With create, missing levels below root are made. Invalid when a level is
// missing, is a link or no folder (ELOOP, ENOTDIR), cannot be searched, or is "." or ".." (EINVAL);
// *obstacle then says where.
Descriptor openFolderBeneath(const QString &root, const QString &relative, bool create, Obstacle *obstacle = nullptr);

// Makes root (with its parents, as needed, as makeFolderPath does) and then the folders of relative
// below it, never following a link below root. Whether the innermost folder is there now.
bool makeFoldersBeneath(const QString &root, const QString &relative);

// The permissions a folder the program makes asks for: never writable by others, whatever the umask
// (the umask and a default ACL only take bits away).
constexpr mode_t kFolderMode = 0775;

// The folder at path (an O_PATH descriptor): what exists of the path is opened as the system resolves
// it (links in the configured folder's own path are fine); the missing levels, only the last one
// unless parents is set, are made one at a time with mkdirat in the level above and opened without
// following a link, so that a link or a file put in the way is refused (ELOOP, ENOTDIR). *obstacle
// names the level that stopped it (as an absolute path) with that entry's status.
Descriptor makeFolderPath(const QString &path, bool parents, Obstacle *obstacle = nullptr);

// Why a folder could not be made or reached: a symbolic link or a file in its way, else the system's
// error text.
QString obstacleText(const Obstacle &obstacle);

// Moves the entry fromName of the folder fromFolder to toName in toFolder, where nothing may be yet,
// as movePath does. Across file systems a regular file's bytes are read from content when it is
// given (a descriptor of that very file), else from the entry opened without following a link.
// With ownCopy, a regular file is always copied that way and the copy is this user's own: its mode
// is the source's less group and other write (and any set-id bits), whoever owned the source.
// Answers 0 or errno.
int moveAt(int fromFolder, const QByteArray &fromName, int toFolder, const QByteArray &toName, int content = -1,
    bool ownCopy = false);

// Removes the entry of the folder if it is not a folder (a link goes, never its target). 0 or errno.
int removeFileAt(int folder, const QByteArray &name);

// Removes the folder name of the folder if it holds nothing, or nothing but a ".DS_Store" file, which
// goes first; never anything else in it. Something that arrives meanwhile makes it fail with
// ENOTEMPTY and stays. A link is never followed. 0 or errno.
int removeEmptyFolderAt(int folder, const QByteArray &name);

// The names in a folder without "." and ".."; none when it cannot be listed (*error gets errno).
std::optional<QStringList> contentsOfDirectory(const QString &path, int *error = nullptr);

// Whether this user may remove the item: its folder is writable and searchable, and where that
// folder has the sticky bit, the user owns the item or the folder (or is the superuser).
bool isDeletableFileAtPath(const QString &path);

struct SystemCalls {
    // renameat2(..., RENAME_NOREPLACE); -1 with errno on failure.
    int (*renameNoReplace)(int fromFolder, const char *from, int toFolder, const char *to);
    ssize_t (*write)(int fd, const void *buffer, size_t count);
};
// The table in use; tests replace entries and restore the previous table afterwards.
SystemCalls systemCalls();
SystemCalls setSystemCallsForTesting(const SystemCalls &calls);
SystemCalls defaultSystemCalls();

} // namespace vesk::fileops
