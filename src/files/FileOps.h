#pragma once
// The file operations the housekeeping relies on: existence, one-level folder creation, removal,
// the move that never replaces, listing and the deletability test. Free functions, any thread.
// System calls that are hard to make fail on purpose go through a replaceable table so that tests
// can inject the failure.

#include <QString>
#include <QStringList>

#include <optional>
#include <sys/types.h>

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

// Creates one folder level with the default permissions. False when it exists or its parent is missing.
bool createDirectory(const QString &path);

// Removes a file, a symbolic link (never its target) or a folder with everything in it.
bool removeItem(const QString &path);

// Moves a file or link to a path where nothing is yet. Never replaces what is there. Within one file
// system it is a rename; across file systems the item is copied into a temporary file beside the
// destination, flushed to disk, put in place and only then is the source removed, so a failure at any
// step leaves the source as it was and nothing under the destination name. *error gets errno.
bool movePath(const QString &from, const QString &to, int *error = nullptr);

// The names in a folder without "." and ".."; none when it cannot be listed (*error gets errno).
std::optional<QStringList> contentsOfDirectory(const QString &path, int *error = nullptr);

// Whether this user may remove the item: its folder is writable and searchable, and where that
// folder has the sticky bit, the user owns the item or the folder (or is the superuser).
bool isDeletableFileAtPath(const QString &path);

struct SystemCalls {
    // renameat2(..., RENAME_NOREPLACE) on two paths; -1 with errno on failure.
    int (*renameNoReplace)(const char *from, const char *to);
    ssize_t (*write)(int fd, const void *buffer, size_t count);
};
// The table in use; tests replace entries and restore the previous table afterwards.
SystemCalls systemCalls();
SystemCalls setSystemCallsForTesting(const SystemCalls &calls);
SystemCalls defaultSystemCalls();

} // namespace vesk::fileops
