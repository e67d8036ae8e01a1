#pragma once
// Which folders may serve as source, mirror and problem folder. The program sends, moves and deletes
// inside these folders, so none of them may be "/" or the home folder, hold or lie inside the
// program's own configuration, state or runtime folder, or overlap another of them; a folder that
// receives pictures must also be the user's own and writable by nobody else. Folders are
// compared as the file system sees them (real paths, device and inode), never as texts; a folder that
// does not exist yet is placed by its nearest existing parent. Any thread.

#include <QString>

#include <vector>

namespace vesk::folderrules {

struct RoleFolder {
    QString role; // "source folder", ...
    QString path;
    bool destination = false; // receives pictures: judged by its owner and who may write to it
};

// Why the folders may not serve in their roles: one that may not serve at all, or two that overlap
// (the same folder, or one inside the other). Empty when they may. The answer is kept while each
// folder still names the same folder on disk, so that asking before every pass costs a few stat calls.
QString refusalOf(const std::vector<RoleFolder> &folders);

} // namespace vesk::folderrules
