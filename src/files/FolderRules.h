#pragma once
// Which folders may serve as source, mirror and problem folder. The program sends, moves and deletes
// inside these folders, so none of them may be "/" or the home folder, hold or lie inside the
// program's own configuration, state or runtime folder, or overlap another of them. Folders are
// compared as the file system sees them (real paths, device and inode), never as texts; a folder that
// does not exist yet is placed by its nearest existing parent. Any thread.

#include <QString>

namespace vesk::folderrules {

// Why the folder may not serve in its role ("The source folder", ...); empty when it may.
QString refusalOf(const QString &role, const QString &folder);

// Why the two folders may not serve together: the same folder, or one inside the other. Empty when
// they may.
QString refusalOfPair(const QString &roleA, const QString &a, const QString &roleB, const QString &b);

} // namespace vesk::folderrules
