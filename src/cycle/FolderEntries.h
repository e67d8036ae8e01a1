// A folder listing's entries as the walk and the waiting count read them.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace vesk::folderentries {

// "." and "..", which every listing holds.
inline bool isSelfOrParent(const char *name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The entry's type, asked of the file system where the listing does not say it (DT_DIR, DT_LNK,
// DT_REG or DT_UNKNOWN); -1 when the entry is gone since the listing. Links are never followed.
inline int entryType(int folderFd, const dirent &entry)
{
    if (entry.d_type != DT_UNKNOWN)
        return entry.d_type;
    struct stat info { };
    if (::fstatat(folderFd, entry.d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    return S_ISDIR(info.st_mode) ? DT_DIR
        : S_ISLNK(info.st_mode)  ? DT_LNK
        : S_ISREG(info.st_mode)  ? DT_REG
                                 : DT_UNKNOWN;
}

} // namespace vesk::folderentries
